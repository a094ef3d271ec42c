#!/usr/bin/env bash
# Cross-builds the Windows DLL for x86_64 and i686 with MinGW-w64, checks both export tables, and
# runs the end-to-end suite on both under Wine, in a fresh Wine prefix, against Wine's CryptoAPI.
# Installs the Debian packages that are missing. MinGW-w64 is required; Wine is not: a Wine the
# registry cannot supply skips the suites that need it, with apt's reason. Run alone, it ends with
# its own summary; from scripts/test.sh, its outcomes join that one.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/results.sh

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
# Installs optional packages; prints apt's reason for each the registry could not supply.
optional() { # PACKAGE...
    bash scripts/install-deps.sh --optional --no-recommends "$@" | tee "$aptlog"
}
reason() { # PACKAGE: why it is not installed
    local why
    why=$(sed -n "s/^unavailable: $1: //p" "$aptlog" 2>/dev/null | head -n 1)
    echo "$1 is not installed: ${why:-see the install step above}"
}

if ! bash scripts/install-deps.sh --no-recommends cmake make openssl openjdk-17-jdk-headless \
    g++-mingw-w64-x86-64 g++-mingw-w64-i686; then
    record failed "windows: toolchain" "MinGW-w64 could not be installed"
    summary
    exit 1
fi

for arch in x86_64 i686; do
    build=build-win$([[ $arch == x86_64 ]] && echo 64 || echo 32)
    toolchain=() # only when first configured: CMake keeps it, and warns when it is given again
    [[ -f $build/CMakeCache.txt ]] || toolchain=(-DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-mingw-$arch.cmake")
    cross() { cmake -S . -B "$build" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null && cmake --build "$build" -j2 >/dev/null; }
    suite "windows: build $arch" cross
    if [[ -f $build/OstrelSignatureMS_1_0.dll ]] && grep -q "^passed	windows: build $arch	" "$OSTREL_RESULTS"; then
        suite "windows: exports $arch" bash tests/windows/check-exports.sh "$arch" "$build/OstrelSignatureMS_1_0.dll"
    else
        skip "windows: exports $arch" "the $arch build failed"
    fi
done

# Wine: 64-bit from the amd64 archive, 32-bit from the i386 one, whose index must be fetched first.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    rm -f "${OSTREL_APT_UPDATED:-}"
fi
aptlog=$root/build-win64/apt.log && mkdir -p "${aptlog%/*}" && : >"$aptlog"
optional wine wine64 wine32:i386

if ! installed wine64 || [[ ! -x /usr/lib/wine/wine64 ]]; then
    why=$(reason wine64)
    for name in "store import" "wine x86_64" "wine i686"; do skip "windows: $name" "$why"; done
    summary
    exit
fi

# One prefix per run, for both architectures: 64-bit Wine runs 32-bit programs in it.
export WINEPREFIX=$root/build-win64/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINELOADER=/usr/lib/wine/wine64
wine64=/usr/lib/wine/wine64 wine32=(/usr/lib/wine/wine)
/usr/lib/wine/wineserver -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
$wine64 wineboot -i >/dev/null 2>&1
/usr/lib/wine/wineserver -w
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT

no32=""
if ! installed wine32:i386 || [[ ! -x /usr/lib/wine/wine ]]; then
    no32=$(reason wine32:i386)
elif ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    # The CPU cannot run 32-bit code (some virtual machines): 32-bit Wine runs under qemu's
    # emulator instead, and the 32-bit half of the prefix, which wineboot could not set up, is
    # filled in: the system DLLs, and the CryptoAPI providers in the 32-bit registry view.
    echo "no 32-bit execution here: i686 runs under qemu-i386 (slow start, about a minute)"
    optional qemu-user
    if installed qemu-user; then
        wine32=(qemu-i386 /usr/lib/wine/wine)
        export WINELOADERNOEXEC=1
        syswow64=$WINEPREFIX/drive_c/windows/syswow64
        for dll in /usr/lib/i386-linux-gnu/wine/i386-windows/*; do
            [[ -e $syswow64/${dll##*/} ]] || ln -s "$dll" "$syswow64/"
        done
        $wine64 reg export 'HKLM\Software\Microsoft\Cryptography' "$WINEPREFIX/crypto.reg" /y >/dev/null
        $wine64 reg import "$WINEPREFIX/crypto.reg" /reg:32 >/dev/null 2>&1
    else
        no32="this CPU runs no 32-bit code, and $(reason qemu-user)"
    fi
fi

winpath() { echo "Z:${1//\//\\}"; }
fixtures=$root/build-win64/fixtures
bash tests/windows/make-fixtures.sh "$fixtures"
suite "windows: store import" $wine64 build-win64/tests/windows/import.exe "$(winpath "$fixtures")"

e2e() { # ARCH RUNNER...: the suite, then its signatures checked by OpenSSL itself
    local arch=$1 build sig name data
    shift
    build=$root/build-win$([[ $arch == x86_64 ]] && echo 64 || echo 32)
    rm -rf "$build/e2e-out" && mkdir -p "$build/e2e-out"
    timeout 900 "$@" "$build/tests/windows/e2e.exe" "$(winpath "$build/OstrelSignatureMS_1_0.dll")" \
        "$(winpath "$fixtures")" "$(winpath "$build/e2e-out")" | tr -d '\r' | tee "$build/e2e.log" || true
    grep -qE "^$arch: [1-9][0-9]* passed, 0 failed$" "$build/e2e.log" || return 1
    [[ -n $(ls "$build"/e2e-out/*.sig 2>/dev/null) ]] || { echo "$arch: no signatures" && return 1; }
    for sig in "$build"/e2e-out/*.sig; do
        name=${sig##*/} && data=${name#*.} && data=${data%.sig}
        openssl dgst -sha1 -verify <(openssl pkey -in "$fixtures/${name%%.*}.key.pem" -pubout) \
            -signature "$sig" "$fixtures/$data" >/dev/null || { echo "OpenSSL rejects $sig" && return 1; }
    done
}
suite "windows: wine x86_64" e2e x86_64 "$wine64"
if [[ -z $no32 ]]; then
    suite "windows: wine i686" e2e i686 "${wine32[@]}"
else
    skip "windows: wine i686" "$no32"
fi
summary
