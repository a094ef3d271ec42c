#!/usr/bin/env bash
# install-deps.sh [--optional] [--no-recommends] [PACKAGE...]: installs the Debian packages that are
# missing; with no package, those the build, the tests and the demo need.
#
# A failing `apt-get update` is only a warning: an index that is mid-sync must not stop a machine
# whose other indexes are fine. Without --optional, a package that cannot be installed fails the
# script. With --optional, each missing package is tried on its own, and one the registry cannot
# supply is reported as "unavailable: PACKAGE: <apt's message>" (exit status 0); the caller then
# skips what needs it, after checking with dpkg-query what did install.
#
# OSTREL_APT_UPDATED names a file that marks the index as updated, so that one test run updates it
# once. OSTREL_UNAVAILABLE="PKG ..." makes those packages unavailable, to try the skip paths.
set -euo pipefail
optional=0 apt_options=()
while [[ ${1:-} == --* ]]; do
    case $1 in
    --optional) optional=1 ;;
    --no-recommends) apt_options+=(--no-install-recommends) ;;
    *) echo "install-deps.sh: unknown option $1" >&2 && exit 2 ;;
    esac
    shift
done
packages=("$@")
((${#packages[@]})) || packages=(cmake g++ make pkg-config file dpkg-dev openjdk-17-jdk-headless
    libnss3-dev libnss3-tools libsqlite3-dev libssl-dev openssl softhsm2 pinentry-tty googletest libgtest-dev junit5
    clang clang-format libclang-rt-14-dev python3 opensc opensc-pkcs11)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
missing=()
for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
done
((${#missing[@]})) || exit 0

export DEBIAN_FRONTEND=noninteractive
apt=(apt-get -o DPkg::Lock::Timeout=600)
marker=${OSTREL_APT_UPDATED:-}
if [[ -z $marker || ! -e $marker ]]; then
    echo "updating the package index"
    if ! "${apt[@]}" update -qq 2>&1 | sed 's/^/  /'; then
        echo "warning: apt-get update failed (above); installing from the indexes there are"
    fi
    [[ -z $marker ]] || touch "$marker"
fi

# Runs one install; prints apt's errors only.
attempt() { # PACKAGE...
    local p
    for p in "$@"; do
        if [[ " ${OSTREL_UNAVAILABLE:-} " == *" $p "* ]]; then
            echo "E: Package '$p' has no installation candidate (simulated by OSTREL_UNAVAILABLE)"
            return 100
        fi
    done
    local out status=0
    out=$("${apt[@]}" install -y -qq "${apt_options[@]}" "$@" 2>&1 >/dev/null) || status=$?
    grep -E '^E:' <<<"$out" || ((status == 0)) || echo "$out"
    return $status
}

echo "installing: ${missing[*]}"
if ((!optional)); then
    attempt "${missing[@]}"
    exit
fi
for p in "${missing[@]}"; do
    if ! message=$(attempt "$p"); then
        echo "unavailable: $p: $(head -n 1 <<<"$message")"
    fi
done
exit 0
