#!/usr/bin/env bash
# Installs what is missing, builds every configuration and runs every test suite. A suite that
# fails does not stop the others; the run ends with one summary and fails when anything failed.
# Only a missing package that every suite needs stops it early.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
OSTREL_APT_UPDATED=$(mktemp -u) && export OSTREL_APT_UPDATED # the index is updated once per run
trap 'rm -f "$OSTREL_APT_UPDATED"' EXIT
source scripts/results.sh
timed "installing what is missing" bash scripts/install-deps.sh
jobs=$(nproc)

# The card stack (pcscd, a virtual reader, libcacard) is optional: without it the card suite is
# skipped, with apt's reason. Prints that reason, or nothing when the stack is installed.
card_stack() {
    local log p why
    log=$(mktemp)
    bash scripts/install-deps.sh --optional --no-recommends pcscd vsmartcard-vpcd libcacard0 |
        tee "$log" >&2
    for p in pcscd vsmartcard-vpcd libcacard0; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
            why=$(sed -n "s/^unavailable: $p: //p" "$log" | head -n 1)
            echo "$p is not installed: ${why:-see the install step above}"
            break
        fi
    done
    rm -f "$log"
}
card_skip=$(timed "installing the card stack" card_stack)
card_filter=()
[[ -z $card_skip ]] || card_filter=(-E '^e2e_card$')

compile() { # DIR CMAKE-ARG...
    local dir=$1
    shift
    cmake -S . -B "$dir" -DOSTREL_WERROR=ON "$@" >/dev/null && cmake --build "$dir" -j"$jobs"
}
build() { suite "build $1" compile "${@:2}"; } # NAME DIR CMAKE-ARG...
built() { grep -q "^passed	build $1	" "$OSTREL_RESULTS"; }

ctest_suites() { # LABEL DIR CTEST-ARG...: runs ctest and records each of its tests
    local label=$1 dir=$2 log status=0 line name outcome
    shift 2
    log=$dir/ctest.log
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" "$@" 2>&1 | tee "$log" || status=$?
    local pattern='Test +#[0-9]+: ([^ ]+) \.* *(\*\*\*)?([A-Za-z][A-Za-z ():]*[a-zA-Z)]) +([0-9.]+ sec)'
    while read -r line; do
        [[ $line =~ $pattern ]] || continue
        name="$label: ${BASH_REMATCH[1]}" outcome=${BASH_REMATCH[3]}
        case $outcome in
        Passed) record passed "$name" "${BASH_REMATCH[4]}" ;;
        "Not Run (Disabled)") record skipped "$name" "disabled in tests/CMakeLists.txt" ;;
        Skipped) record skipped "$name" "the test skipped itself" ;;
        *) record failed "$name" "$outcome" ;;
        esac
    done <"$log"
    # ctest failing without a failed test to show for it (a crash of ctest, a missing fixture).
    if ((status != 0)) && ! grep -q "^failed	$label: " "$OSTREL_RESULTS"; then
        record failed "$label: ctest" "exit status $status"
    fi
}

# Every C++ file as clang-format writes it.
suite "formatting" bash scripts/check-format.sh

# The everyday configuration: every suite.
build RelWithDebInfo build -DCMAKE_BUILD_TYPE=RelWithDebInfo
built RelWithDebInfo &&
    timed "RelWithDebInfo: ctest" ctest_suites RelWithDebInfo build "${card_filter[@]}"
[[ -z $card_skip ]] || skip "RelWithDebInfo: e2e_card" "$card_skip"

# Release, where the optimiser brings its own warnings and faults: the suites without a JVM.
build Release build-release -DCMAKE_BUILD_TYPE=Release
built Release && timed "Release: ctest" ctest_suites Release build-release -R '^(fixture_store|unit|cryptoapi|nss|jvm|exports)$'

# Everything again under AddressSanitizer, LeakSanitizer and UBSan, the Java suites included.
build "Debug, sanitizers" build-asan -DOSTREL_SANITIZE=ON -DOSTREL_COUNT_OBJECTS=ON -DCMAKE_BUILD_TYPE=Debug
built "Debug, sanitizers" &&
    timed "Debug, sanitizers: ctest" ctest_suites "Debug, sanitizers" build-asan "${card_filter[@]}"
[[ -z $card_skip ]] || skip "Debug, sanitizers: e2e_card" "$card_skip"

# A short fuzz of each target that reads untrusted bytes (see tests/fuzz/run-fuzz.sh for longer).
suite fuzz bash tests/fuzz/run-fuzz.sh build-fuzz 20

# The Debian package: built, installed with apt, used and removed.
if built RelWithDebInfo; then
    suite "package round trip" bash tests/package/deb-roundtrip.sh build build/fixture
else
    skip "package round trip" "the RelWithDebInfo build failed"
fi

# The Windows DLLs, 64- and 32-bit: exports, and end to end under Wine.
timed "windows (installs, builds, Wine)" bash scripts/test-windows.sh || true

printf 'time\t%s\t%s s\n' "the whole test command" "$((SECONDS - start))" >>"$OSTREL_RESULTS"
summary
