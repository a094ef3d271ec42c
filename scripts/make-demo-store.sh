#!/usr/bin/env bash
# make-demo-store.sh OUT: a small personal store for the demo, in OUT/home/.pki/nssdb:
#   Demo Signer          issued by Ostrel Demo CA, RSA key, for signing and key encipherment
#   Demo Signature Only  issued by Ostrel Demo CA, RSA key, for signatures only
#   Demo Expired         self-signed, RSA key, expired a year ago
#   Ostrel Demo CA       the certificate alone, without its key
#   Demo Card Signer     issued by Ostrel Demo CA, its RSA key on a smart card: a SoftHSM 2 token
#                        "Demo Card" with the PIN 1234, registered in the database
# OUT/files keeps each certificate's DER, for verifying with a certificate file.
set -euo pipefail
out=${1:?usage: make-demo-store.sh OUT}
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$out"
mkdir -p "$out" && out=$(cd "$out" && pwd)
db=$out/home/.pki/nssdb
mkdir -p "$db" "$out/files"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
certutil -N -d "sql:$db" --empty-password

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 \
    -subj "/C=ES/O=Ostrel Demo/CN=Ostrel Demo CA" 2>/dev/null
openssl x509 -in ca.pem -outform DER -out "$out/files/ca.der"
certutil -A -d "sql:$db" -n "Ostrel Demo CA" -t "CT,C,C" -i "$out/files/ca.der"

# make NAME CN SERIAL KEYUSAGE: a certificate from the CA, and NAME.p12 with its key.
make() {
    openssl req -new -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" \
        -subj "/C=ES/O=Ostrel Demo/CN=$2" 2>/dev/null
    openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -set_serial "$3" -days 730 -sha256 \
        -extfile <(echo "keyUsage=critical,$4") -out "$1.pem" 2>/dev/null
    openssl x509 -in "$1.pem" -outform DER -out "$out/files/$1.der"
    openssl pkcs12 -export -in "$1.pem" -inkey "$1.key" -name "$2" -passout pass:demo -out "$1.p12"
}
issue() { # as make, imported into the database with its key
    make "$@"
    pk12util -i "$1.p12" -d "sql:$db" -W demo >/dev/null
}
issue signer "Demo Signer" 0x2001 digitalSignature,keyEncipherment
issue sigonly "Demo Signature Only" 0x2002 digitalSignature,nonRepudiation
make card "Demo Card Signer" 0x2003 digitalSignature,nonRepudiation
bash "$here/../tests/fixtures/make-token.sh" "$out/home" "$db" "Demo Card" 1234 card.p12:demo

# OpenSSL cannot back-date a certificate; certutil can: valid for a year from two years ago.
head -c 64 /dev/urandom >noise
certutil -S -d "sql:$db" -n "Demo Expired" -s "CN=Demo Expired,O=Ostrel Demo,C=ES" -x -t "u,u,u" \
    -k rsa -g 2048 -Z SHA256 -m 8195 -w -24 -v 12 --keyUsage digitalSignature -z noise \
    </dev/null >/dev/null 2>&1
certutil -L -d "sql:$db" -n "Demo Expired" -r >"$out/files/expired.der"
