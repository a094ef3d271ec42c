#!/usr/bin/env bash
# run.sh SOURCE BUILD STORES OUT: one round of the card benchmarks, called by scripts/bench.sh.
#
# Starts the card stack of tests/card/card-stack.sh (pcscd on a socket of its own, vpcd's virtual
# reader, libcacard's card, OpenSC) in OUT/stack and measures, on the store of 100 certificates
# in STORES with OpenSC registered in it (and without, for comparison):
#   - an unchanged listing and attribute queries of a database certificate, through JNI
#     (ostrel.bench.CardBench) and without a JVM (bench_card_services): the card in the reader,
#     the reader empty, OpenSC not registered, and the card logged in;
#   - 10 insertions, each from pcscd's report of the card to the first listing holding it;
#   - the card's signature after one login beside a bare C_SignInit + C_Sign through OpenSC.
# Results go to OUT (JSON lines and Google Benchmark JSON), the load average before each step to
# OUT/load.txt. When a package the stack needs cannot be installed, OUT/skipped says why and nothing runs.
# Every process it starts is stopped when it ends, however it ends.
set -euo pipefail
source=$(cd "$1" && pwd) build=$2 stores=$3 out=$4
mkdir -p "$out"
out=$(cd "$out" && pwd)
skip() {
    echo "card benchmarks skipped: $*" | tee "$out/skipped" >&2
    exit 0
}

packages=(pcscd vsmartcard-vpcd libcacard0 opensc opensc-pkcs11 libpcsclite-dev)
log=$(mktemp)
bash "$source/scripts/install-deps.sh" --optional --no-recommends "${packages[@]}" | tee "$log" >&2
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
        why=$(sed -n "s/^unavailable: $p: //p" "$log" | head -n 1)
        rm -f "$log"
        skip "$p is not installed: ${why:-see the install step above}"
    fi
done
rm -f "$log"
# Configured again: the card targets exist only once the PC/SC headers are installed.
cmake "$build" >/dev/null
# grep reads the whole list: quitting at the first match would break make's pipe (pipefail).
cmake --build "$build" --target help | grep -w bench_card_services >/dev/null ||
    skip "the build has no card targets (bench/card/CMakeLists.txt found no PC/SC or libcacard)"
cmake --build "$build" -j2 --target OstrelSignatureMS_1_0 ostrel_bench_card \
    ostrel_bench_card_java bench_card_services virtual_card >/dev/null

stack=$out/stack
card_stack() { bash "$source/tests/card/card-stack.sh" "$stack" "$@"; }
# pcscd's socket path must fit a sockaddr_un.
((${#stack} < 90)) || skip "$stack is too long a path for pcscd's socket"
trap 'card_stack stop' EXIT
trap 'exit 143' TERM INT HUP # through the EXIT trap
# The tests' build of the card program when this build has the tests, else the benchmarks' own.
card_program=$build/bench/card/stack/virtual-card
[[ -x $card_program ]] || card_program=$build/tests/card/virtual-card
card_stack start "$card_program"
export PCSCLITE_CSOCK_NAME=$stack/run/pcscd.comm

# Two copies of the store of 100: with OpenSC registered (modutil loads it: it must find this
# stack's pcscd) and without.
size=100
card_home=$out/home-card plain_home=$out/home-plain
for home in "$card_home" "$plain_home"; do
    rm -rf "$home" && mkdir -p "$home/.pki" && cp -r "$stores/$size/home/.pki/nssdb" "$home/.pki/"
done
HOME=$card_home modutil -dbdir "sql:$card_home/.pki/nssdb" -add OpenSC \
    -libfile /usr/lib/x86_64-linux-gnu/opensc-pkcs11.so -force >/dev/null

jvm=(java -Xms1g -Xmx1g -XX:+AlwaysPreTouch -XX:ErrorFile="$out/hs_err_%p.log"
    --enable-native-access=ALL-UNNAMED
    -Djava.library.path="$build:$build/bench:$build/bench/card"
    -cp "$build/ostrel.jar:$build/bench/ostrel-bench.jar:$build/bench/card/ostrel-bench-card.jar"
    ostrel.bench.CardBench --size "$size" --card "$stack" --stack "$source/tests/card/card-stack.sh")
gbench=(--benchmark_repetitions=10 --benchmark_min_time=0.2 --benchmark_out_format=json
    --benchmark_enable_random_interleaving=true)
services() { # HOME ARG...: bench_card_services, its messages kept in OUT/native.log
    HOME=$1 "$build/bench/card/bench_card_services" --card "$stack" "${@:2}" >/dev/null \
        2>>"$out/native.log" || { cat "$out/native.log" >&2 && exit 1; }
}
round=$(basename "$(dirname "$out")")
step() { # NAME: a line for the report, with the load average now
    echo "== card, $round: $1 (load $(cut -d' ' -f1 /proc/loadavg))" >&2
    echo "$1: $(cut -d' ' -f1-3 /proc/loadavg)" >>"$out/load.txt"
}
# A scripted pinentry answering the card's PIN: the library logs in once per process.
pinentry() { # NAME
    printf 'pin %s\n' "$(cat "$stack/pin")" >"$out/pins-$1"
    : >"$out/pinentry-$1.log"
    export DISPLAY=:99 OSTREL_PINENTRY=$source/tests/login/fake-pinentry
    export FAKE_PINENTRY_SCRIPT=$out/pins-$1 FAKE_PINENTRY_LOG=$out/pinentry-$1.log
}

step present
HOME=$card_home "${jvm[@]}" --mode calls --config present --out "$out/calls-present.jsonl"
services "$card_home" --expect $((size + 3)) "${gbench[@]}" \
    --benchmark_out="$out/services-present.json"
card_stack pull
step empty
HOME=$card_home "${jvm[@]}" --mode calls --config empty --out "$out/calls-empty.jsonl"
services "$card_home" --expect $size "${gbench[@]}" --benchmark_out="$out/services-empty.json"
step unregistered
HOME=$plain_home "${jvm[@]}" --mode calls --config unregistered --out "$out/calls-unregistered.jsonl"
services "$plain_home" --expect $size "${gbench[@]}" \
    --benchmark_out="$out/services-unregistered.json"
card_stack insert
step insert
HOME=$card_home "${jvm[@]}" --mode insert --count 10 --out "$out/insert.jsonl"
# A new card for each signing process: its PIN's tries start afresh.
card_stack reset
step sign
pinentry jni
HOME=$card_home "${jvm[@]}" --mode sign --out "$out/sign.jsonl"
card_stack reset
step sign_services
pinentry services
# Signatures take tens of milliseconds: 20 repetitions of each side, interleaved.
services "$card_home" --expect $((size + 3)) --sign "${gbench[@]}" --benchmark_repetitions=20 \
    --benchmark_out="$out/services-loggedin.json"
rm -rf "$card_home" "$plain_home"
echo "end: $(cut -d' ' -f1-3 /proc/loadavg)" >>"$out/load.txt"
