#!/usr/bin/env bash
# run-fuzz.sh BUILD SECONDS: builds the fuzz targets with clang in BUILD, seeds them with the
# fixture certificates and runs each for SECONDS. Longer runs: raise SECONDS; the corpus in
# BUILD/corpus grows between runs.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:?usage: run-fuzz.sh BUILD SECONDS} seconds=${2:-20}
CXX=clang++ cmake -S . -B "$build" -DOSTREL_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target cert_decode_fuzz x500_name_fuzz locate_fuzz
bash tests/fixtures/make-store.sh "$build/fixture" >/dev/null
export HOME=$build/fixture/home
passed=0 failed=0
for target in cert_decode_fuzz x500_name_fuzz locate_fuzz; do
    corpus=$build/corpus/$target
    mkdir -p "$corpus" "$build/crashes"
    cp "$build"/fixture/files/*.der "$build"/fixture/files/odd/*.der "$corpus/"
    if "$build/tests/fuzz/$target" -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 \
        -artifact_prefix="$build/crashes/$target-" "$corpus" >"$build/$target.log" 2>&1; then
        passed=$((passed + 1))
        echo "$target: $(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/$target.log")"
    else
        failed=$((failed + 1))
        tail -40 "$build/$target.log"
    fi
done
echo "fuzz: $passed passed, $failed failed"
((failed == 0))
