#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

# Everything again under AddressSanitizer, LeakSanitizer and UBSan, the Java suites included.
cmake -S . -B build-asan -DOSTREL_SANITIZE=ON -DOSTREL_WERROR=ON -DOSTREL_COUNT_OBJECTS=ON -DCMAKE_BUILD_TYPE=Debug \
    >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs"

# A short fuzz of each target that reads untrusted bytes (see tests/fuzz/run-fuzz.sh for longer).
bash tests/fuzz/run-fuzz.sh build-fuzz 20
bash scripts/test-windows.sh  # the Windows DLLs, 64- and 32-bit: exports, and end to end under Wine
