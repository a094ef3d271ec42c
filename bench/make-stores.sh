#!/usr/bin/env bash
# make-stores.sh OUT: personal stores of 1, 10, 100, 1,000 and 5,000 certificates for the
# benchmarks, as OUT/N/home/.pki/nssdb. Every certificate has its private key: one RSA-2048 "signer"
# (its DER in OUT/signer.der) and N-1 EC P-256 certificates "ec1".."ec{N-1}". Also an RSA-2048
# key and certificate for a SoftHSM token, OUT/token-signer.p12 (password "bench") and its DER.
# Kept while OUT/complete names the same contents.
set -euo pipefail
out=${1:?usage: make-stores.sh OUT}
sizes="1 10 100 1000 5000"
contents="$sizes token-signer"
[[ -f $out/complete && $(cat "$out/complete") == "$contents" ]] && exit 0
rm -rf "$out"
mkdir -p "$out" && out=$(cd "$out" && pwd)
# SQLite syncs every certutil transaction to disk; on tmpfs that costs nothing, so the stores are
# grown there and copied into the build tree.
scratch=$(mktemp -d -p "$([[ -w /dev/shm ]] && echo /dev/shm || echo "${TMPDIR:-/tmp}")")
trap 'rm -rf "$scratch"' EXIT
db=$scratch/nssdb
mkdir -p "$db"
head -c 64 /dev/urandom >"$scratch/noise"
certutil -N -d "sql:$db" --empty-password
certutil -S -d "sql:$db" -n signer -s "CN=Bench Signer,O=Ostrel Bench,C=ES" -x -t "u,u,u" \
    -k rsa -g 2048 -Z SHA256 -m 1 -v 24 --keyUsage digitalSignature,keyEncipherment \
    -z "$scratch/noise" </dev/null >/dev/null 2>&1
certutil -L -d "sql:$db" -n signer -r >"$out/signer.der"

have=1
for size in $sizes; do
    if ((size > have)); then
        # One certutil process for the whole batch: starting one per certificate costs more.
        for ((i = have; i < size; i++)); do
            echo "-S -n ec$i -s \"CN=Bench EC $i,O=Ostrel Bench,C=ES\" -x -t u,u,u -k ec" \
                "-q nistp256 -Z SHA256 -m $((1000 + i)) -v 24 -z $scratch/noise"
        done >"$scratch/batch"
        certutil -B -i "$scratch/batch" -d "sql:$db" </dev/null >/dev/null 2>&1
        have=$size
    fi
    count=$(certutil -K -d "sql:$db" </dev/null 2>/dev/null | grep -c '^<')
    if ((count != size)); then
        echo "make-stores.sh: the store of $size has $count keys" >&2
        exit 1
    fi
    mkdir -p "$out/$size/home/.pki"
    cp -r "$db" "$out/$size/home/.pki/nssdb"
done
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$scratch/token.key" -out "$scratch/token.pem" \
    -subj "/C=ES/O=Ostrel Bench/CN=Bench Token Signer" -days 730 -sha256 2>/dev/null
openssl x509 -in "$scratch/token.pem" -outform DER -out "$out/token-signer.der"
openssl pkcs12 -export -in "$scratch/token.pem" -inkey "$scratch/token.key" -name token-signer \
    -passout pass:bench -out "$out/token-signer.p12"
echo "$contents" >"$out/complete"
