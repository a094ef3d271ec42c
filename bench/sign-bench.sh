#!/usr/bin/env bash
# sign-bench.sh [BUILD]: times firmar against a bare PK11_Sign, and digest against MessageDigest,
# on the fixture store of BUILD (default build; run its ctest once so that BUILD/fixture exists).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
[[ -f $build/fixture/files/signer.der ]] || bash tests/fixtures/make-store.sh "$build/fixture" >/dev/null
out=$build/bench-sign
mkdir -p "$out"
jdk=$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")
javac -d "$out" -cp "$build/ostrel.jar" bench/SignBench.java
g++ -std=c++20 -O2 -o "$out/sign_bench" bench/sign_bench.cpp -I"$jdk/include" \
    -I"$jdk/include/linux" $(pkg-config --cflags --libs nss) -L"$jdk/lib/server" -ljvm \
    -Wl,-rpath,"$jdk/lib/server"
HOME=$build/fixture/home "$out/sign_bench" "$build" "$build/ostrel.jar:$out" "$build/fixture/files"
