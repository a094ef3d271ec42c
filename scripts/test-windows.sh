#!/usr/bin/env bash
# Cross-builds the Windows DLL for x86_64 and i686 with MinGW-w64, checks both export tables, and
# runs the end-to-end suite on both under Wine, in a fresh Wine prefix, against Wine's CryptoAPI.
# Installs the Debian packages that are missing. Ends with "N passed, N failed".
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export DEBIAN_FRONTEND=noninteractive

install() { # PACKAGE...: those not installed yet, without recommends
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    done
    if ((${#missing[@]})); then
        echo "installing: ${missing[*]}"
        apt-get -o DPkg::Lock::Timeout=600 update -qq
        apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
}
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
install cmake make openssl openjdk-17-jdk-headless g++-mingw-w64-x86-64 g++-mingw-w64-i686 \
    wine wine64 wine32:i386

passed=0 failed=0
count() { # NAME COMMAND...: runs one check
    if "${@:2}"; then passed=$((passed + 1)); else failed=$((failed + 1)) && echo "FAILED: $1"; fi
}

for arch in x86_64 i686; do
    build=build-win$([[ $arch == x86_64 ]] && echo 64 || echo 32)
    toolchain=()  # only when first configured: CMake keeps it, and warns when it is given again
    [[ -f $build/CMakeCache.txt ]] || toolchain=(-DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-mingw-$arch.cmake")
    cmake -S . -B "$build" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" -j2 >/dev/null
    count "exports $arch" bash tests/windows/check-exports.sh "$arch" "$build/OstrelSignatureMS_1_0.dll"
done

# One prefix per run, for both architectures: 64-bit Wine runs 32-bit programs in it.
export WINEPREFIX=$root/build-win64/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINELOADER=/usr/lib/wine/wine64
wine64=/usr/lib/wine/wine64 wine32=(/usr/lib/wine/wine)
/usr/lib/wine/wineserver -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
$wine64 wineboot -i >/dev/null 2>&1
/usr/lib/wine/wineserver -w
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT

# Where the CPU cannot run 32-bit code (some virtual machines), 32-bit Wine runs under qemu's
# emulator instead, and the 32-bit half of the prefix, which wineboot could not set up, is filled
# in: the system DLLs, and the CryptoAPI providers in the 32-bit registry view.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "no 32-bit execution here: i686 runs under qemu-i386 (slow start, about a minute)"
    install qemu-user
    wine32=(qemu-i386 /usr/lib/wine/wine)
    export WINELOADERNOEXEC=1
    syswow64=$WINEPREFIX/drive_c/windows/syswow64
    for dll in /usr/lib/i386-linux-gnu/wine/i386-windows/*; do
        [[ -e $syswow64/${dll##*/} ]] || ln -s "$dll" "$syswow64/"
    done
    $wine64 reg export 'HKLM\Software\Microsoft\Cryptography' "$WINEPREFIX/crypto.reg" /y >/dev/null
    $wine64 reg import "$WINEPREFIX/crypto.reg" /reg:32 >/dev/null 2>&1
fi

winpath() { echo "Z:${1//\//\\}"; }
fixtures=$root/build-win64/fixtures
bash tests/windows/make-fixtures.sh "$fixtures"
count "store import" $wine64 build-win64/tests/windows/import.exe "$(winpath "$fixtures")"

for arch in x86_64 i686; do
    build=$root/build-win$([[ $arch == x86_64 ]] && echo 64 || echo 32)
    if [[ $arch == x86_64 ]]; then runner=("$wine64"); else runner=("${wine32[@]}"); fi
    rm -rf "$build/e2e-out" && mkdir -p "$build/e2e-out"
    set +e
    timeout 900 "${runner[@]}" "$build/tests/windows/e2e.exe" "$(winpath "$build/OstrelSignatureMS_1_0.dll")" \
        "$(winpath "$fixtures")" "$(winpath "$build/e2e-out")" | tr -d '\r' | tee "$build/e2e.log"
    set -e
    summary=$(grep -E "^$arch: [0-9]+ passed, [0-9]+ failed$" "$build/e2e.log" || echo "$arch: 0 passed, 1 failed")
    read -r p f <<<"$(sed -E 's/.*: ([0-9]+) passed, ([0-9]+) failed/\1 \2/' <<<"$summary")"
    passed=$((passed + p)) failed=$((failed + f))
    # The library's signatures, checked by OpenSSL itself.
    verify() {
        local sig name data
        for sig in "$build"/e2e-out/*.sig; do
            name=${sig##*/} && data=${name#*.} && data=${data%.sig}
            openssl dgst -sha1 -verify <(openssl pkey -in "$fixtures/${name%%.*}.key.pem" -pubout) \
                -signature "$sig" "$fixtures/$data" >/dev/null || return 1
        done
        [[ -n $(ls "$build"/e2e-out/*.sig 2>/dev/null) ]]
    }
    count "openssl verifies the $arch signatures" verify
done

echo "$passed passed, $failed failed"
((failed == 0))
