#!/usr/bin/env bash
# Measures the library beside the JDK's own providers and beside bare NSS and OpenSSL, on personal
# stores of 1, 10, 100, 1,000 and 5,000 certificates built in the build tree, and prints the table
# with the targets (also written to BUILD/results/LATEST/report.md).
#
#   bash scripts/bench.sh [--runs N] [--committed] [--card-only | --no-card]
#
# --runs N: N whole rounds (default 1); the figures pool the samples of every round.
# --committed: measure the last commit (exported with git archive) rather than the work tree,
#   which may hold other people's unfinished changes.
# --card-only: only the smart-card part (bench/card/run.sh: pcscd, a virtual reader and card,
#   OpenSC; about 2 minutes a round); --no-card: leave it out. It is skipped, with the reason in
#   the report, when its packages cannot be installed.
# BUILD is build-bench (build-bench/committed with --committed), or $OSTREL_BENCH_BUILD.
# Not part of scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=1
committed=0
card=1 card_only=0
while (($#)); do
    case $1 in
    --runs) runs=${2:?--runs N} && shift 2 ;;
    --committed) committed=1 && shift ;;
    --card-only) card_only=1 && shift ;;
    --no-card) card=0 && shift ;;
    *) echo "usage: bench.sh [--runs N] [--committed] [--card-only | --no-card]" >&2 && exit 2 ;;
    esac
done
bash scripts/install-deps.sh && bash scripts/install-deps.sh libbenchmark-dev
source=.
build=${OSTREL_BENCH_BUILD:-build-bench}
if ((committed)); then
    build=${OSTREL_BENCH_BUILD:-build-bench/committed}
    # Exported to the same place every time: the build's cache remembers its source directory.
    source=$build/source
    rm -rf "$source" && mkdir -p "$source"
    git archive HEAD | tar -x -C "$source"
    revision=$(git rev-parse --short HEAD)
elif revision=$(git rev-parse --short HEAD 2>/dev/null); then
    git diff --quiet HEAD -- src bench java CMakeLists.txt || revision+=" with uncommitted changes"
else
    revision=unknown
fi
cmake -S "$source" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_TESTS=OFF \
    -DOSTREL_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target OstrelSignatureMS_1_0 ostrel_bench ostrel_bench_probe \
    bench_limits bench_services bench_pinentry >/dev/null
build=$(cd "$build" && pwd)
stores=$build/stores
echo "== stores of 1, 10, 100, 1,000 and 5,000 certificates (kept in $stores)"
bash "$source/bench/make-stores.sh" "$stores"

results=$build/results/$(date +%Y%m%d-%H%M%S)
mkdir -p "$results"
ln -sfn "$results" "$build/results/LATEST"
{
    echo "revision: $revision"
    echo "nproc: $(nproc)"
    echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')"
    echo "sha_ni: $(grep -qw sha_ni /proc/cpuinfo && echo yes || echo no)"
    echo "memory: $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)"
    echo "debian: $(cat /etc/debian_version)"
    echo "kernel: $(uname -r)"
    echo "nss: $(dpkg-query -W -f='${Version}' libnss3)"
    echo "openssl: $(openssl version | cut -d' ' -f2)"
    echo "jdk: $(java -version 2>&1 | head -1)"
    echo "gcc: $(gcc -dumpversion)"
    echo "benchmark: $(dpkg-query -W -f='${Version}' libbenchmark-dev)"
    echo "load_before: $(cut -d' ' -f1-3 /proc/loadavg)"
} >"$results/env.txt"

# The same JVM settings on both sides. The heap is fixed and touched at start-up, so that
# allocating arrays measures copying rather than the kernel handing out fresh pages.
jvm=(java -Xms1g -Xmx1g -XX:+AlwaysPreTouch -XX:ErrorFile="$results/hs_err_%p.log"
    --enable-native-access=ALL-UNNAMED -Djava.library.path="$build:$build/bench"
    -cp "$build/ostrel.jar:$build/bench/ostrel-bench.jar")
# Repetitions in random order, so that a change of load on the machine spreads over every benchmark.
gbench=(--benchmark_repetitions=10 --benchmark_min_time=0.2 --benchmark_out_format=json
    --benchmark_enable_random_interleaving=true)

# The smart-card part of round $1 (bench/card/run.sh).
card_round() {
    ((card)) || return 0
    bash "$source/bench/card/run.sh" "$source" "$build" "$stores" "$results/run-$1/card"
}
if ((card_only)); then
    for ((run = 1; run <= runs; run++)); do
        card_round "$run"
    done
    echo "load_after: $(cut -d' ' -f1-3 /proc/loadavg)" >>"$results/env.txt"
    python3 "$source/bench/card/report.py" --standalone "$results" | tee "$results/report.md"
    exit 0
fi

for ((run = 1; run <= runs; run++)); do
    out=$results/run-$run
    mkdir -p "$out"
    for size in 1 10 100 1000 5000; do
        echo "== round $run of $runs, store of $size (load $(cut -d' ' -f1 /proc/loadavg))"
        echo "load_round_${run}_store_$size: $(cut -d' ' -f1-3 /proc/loadavg)" >>"$results/env.txt"
        # Each round works on a copy: the listing after a change rewrites the database.
        home=$out/home-$size
        rm -rf "$home" && mkdir -p "$home/.pki" && cp -r "$stores/$size/home/.pki/nssdb" "$home/.pki/"
        db=$home/.pki/nssdb
        full=()
        duel=()
        # The listing the library made before reading objects is quadratic: up to 1,000 only.
        limits_filter='object_list'
        if ((size >= 100)); then
            limits_filter+='|object_steps'
        fi
        if ((size <= 1000)); then
            limits_filter+='|nss_list_keycheck'
        fi
        services_filter='services/(list|notAfter|subjectDn|sign)'
        if ((size == 100)); then
            full=(--full)
            duel=(--duel)
            limits_filter=.
            services_filter=.
        fi
        "$build/bench/bench_limits" --db "$db" "${gbench[@]}" \
            --benchmark_filter="$limits_filter" --benchmark_out="$out/limits-$size.json" \
            >/dev/null 2>>"$out/native.log" || { cat "$out/native.log" >&2 && exit 1; }
        HOME=$home "$build/bench/bench_services" --signer "$stores/signer.der" "${gbench[@]}" \
            --benchmark_filter="$services_filter" --benchmark_out="$out/services-$size.json" \
            >/dev/null 2>>"$out/native.log" || { cat "$out/native.log" >&2 && exit 1; }
        HOME=$home "${jvm[@]}" ostrel.bench.LibraryBench --out "$out/library-$size.jsonl" \
            --size "$size" --db "$db" --signer "$stores/signer.der" "${full[@]}"
        # The JDK's provider in a JVM of its own: whoever initialises NSS first in a process owns it.
        # With --duel (store of 100) the library joins it afterwards, for signatures side by side.
        HOME=$home "${jvm[@]}" ostrel.bench.JdkBench --out "$out/jdk-$size.jsonl" \
            --size "$size" --db "$db" --signer "$stores/signer.der" "${full[@]}" "${duel[@]}"
        rm -rf "$home"
    done
    # Signing on a SoftHSM token, logged in, beside a bare PK11_Sign on it in the same process; and
    # with a key there that demands the PIN at every signature, the PIN answered by a pinentry at
    # once, beside a bare C_SignInit + C_Login(CKU_CONTEXT_SPECIFIC) + C_Sign.
    echo "== round $run of $runs, SoftHSM token (load $(cut -d' ' -f1 /proc/loadavg))"
    home=$out/home-token
    rm -rf "$home" && mkdir -p "$home/.pki" && cp -r "$stores/1/home/.pki/nssdb" "$home/.pki/"
    bash "$source/tests/fixtures/make-token.sh" "$home" "$home/.pki/nssdb" "Bench Token" 1234 \
        "$stores/token-signer.p12:bench"
    bash "$source/tests/fixtures/add-consent-key.sh" "$home" "Bench Token" 1234 \
        "/C=ES/O=Ostrel Bench/CN=Bench Consent Signer" "$out/consent"
    HOME=$home OSTREL_PINENTRY="$build/bench/bench_pinentry" BENCH_PINENTRY_PIN=1234 DISPLAY=:0 \
        "$build/bench/bench_services" --signer "$stores/signer.der" \
        --token-signer "$stores/token-signer.der" --consent-signer "$out/consent/cert.der" \
        "${gbench[@]}" \
        --benchmark_filter='services/(token_sign|bare_token_sign|consent_sign.*|bare_consent_sign.*)' \
        --benchmark_out="$out/token-1.json" >/dev/null 2>>"$out/native.log" ||
        { cat "$out/native.log" >&2 && exit 1; }
    rm -rf "$home"
    card_round "$run"
done
echo "load_after: $(cut -d' ' -f1-3 /proc/loadavg)" >>"$results/env.txt"
python3 "$source/bench/report.py" "$results" | tee "$results/report.md"
if ((card)); then
    echo | tee -a "$results/report.md"
    python3 "$source/bench/card/report.py" "$results" | tee -a "$results/report.md"
fi
