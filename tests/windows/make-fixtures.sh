#!/usr/bin/env bash
# Certificates, keys and expected values for the Windows end-to-end suite, made with OpenSSL:
#   NAME.der, NAME.pvk (key as PRIVATEKEYBLOB after a 24-byte header), NAME.key.pem;
#   data-N with data-N.sha1 and NAME.data-N.sig (OpenSSL's own SHA-1 RSA signature);
#   manifest: name|key|version|keyusage|serial LE hex|notBefore ms|notAfter ms|subject|issuer
# key is kx (AT_KEYEXCHANGE), sig (AT_SIGNATURE only), none, or refused for a certificate that the
# platform does not decode; keyusage -1 means none read; a name "*" is compared with the platform's
# own rendering only.
set -euo pipefail
out=${1:?usage: make-fixtures.sh OUT}
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$out" && mkdir -p "$out" && cd "$out"

self_signed() { # NAME SUBJECT SERIAL [req options...]
    local name=$1 subject=$2 serial=$3
    shift 3
    openssl req -x509 -utf8 -newkey rsa:2048 -nodes -keyout "$name.key.pem" -out "$name.pem" \
        ${subject:+-subj "$subject"} -days 730 -sha256 -set_serial "$serial" "$@" 2>/dev/null
}
millis() { echo $(($(date -u -d "$(openssl x509 -in "$1.pem" -noout "-$2" | cut -d= -f2)" +%s) * 1000)); }
entry() { # NAME KEY VERSION KEYUSAGE SERIAL SUBJECT ISSUER
    openssl x509 -in "$1.pem" -outform DER -out "$1.der"
    if [[ $2 != none ]]; then
        openssl rsa -in "$1.key.pem" -outform PVK -pvk-none -out "$1.pvk" 2>/dev/null
    fi
    echo "$1|$2|$3|$4|$5|$(millis "$1" startdate)|$(millis "$1" enddate)|$6|$7" >>manifest
}

self_signed signer "/C=ES/O=Ostrel/CN=Signer Key" 0xA1B2C3 \
    -addext "keyUsage=critical,digitalSignature,keyEncipherment"
entry signer kx 3 5 c3b2a100 "C=ES, O=Ostrel, CN=Signer Key" "C=ES, O=Ostrel, CN=Signer Key"

self_signed sigonly "/C=ES/O=Ostrel/CN=Signature Only" 0x1002 \
    -addext "keyUsage=digitalSignature,nonRepudiation,keyAgreement,decipherOnly"
entry sigonly sig 3 275 0210 "C=ES, O=Ostrel, CN=Signature Only" "C=ES, O=Ostrel, CN=Signature Only"

self_signed ca "/C=ES/O=Ostrel/CN=Fixture CA" 0x1006 -addext "keyUsage=critical,keyCertSign,cRLSign"
entry ca none 3 96 0610 "C=ES, O=Ostrel, CN=Fixture CA" "C=ES, O=Ostrel, CN=Fixture CA"

# X.509 v1 from the CA (no extensions), valid from before 1970 (UTCTime) to after 2049
# (GeneralizedTime), with a non-ASCII name.
printf '%s\n' '[ca]' 'default_ca=fx' '[fx]' 'database=index' 'new_certs_dir=.' 'serial=serial' \
    'default_md=sha256' 'policy=any' '[any]' 'commonName=supplied' >ca.cnf
touch index && echo 1007 >serial
openssl req -new -utf8 -newkey rsa:2048 -nodes -keyout v1.key.pem -subj "/C=ES/O=Ostrel/CN=Muñoz" \
    -out v1.csr 2>/dev/null
openssl ca -config ca.cnf -batch -notext -preserveDN -utf8 -cert ca.pem -keyfile ca.key.pem \
    -startdate 19600101000000Z -enddate 20600101000000Z -in v1.csr -out v1.pem 2>/dev/null
entry v1 kx 1 -1 0710 "C=ES, O=Ostrel, CN=Muñoz" "C=ES, O=Ostrel, CN=Fixture CA"

# Attribute types Windows and Wine render differently (unknown OID, empty value); X.509 v1, no key. -subj
# drops both, a configuration keeps them ("x." only lets a key repeat).
printf '%s\n' '[req]' 'distinguished_name=dn' 'prompt=no' '[dn]' C=ES O=Ostrel 'x.1.2.3.4=Odd Values' \
    'x.1.2.3.5=' CN=Odd >odd.cnf
self_signed odd "" 0x1010 -config odd.cnf
entry odd none 1 -1 1010 "*" "*"

# Encodings that NSS stores though they are odd, with what the platform decodes in them.
python3 "$here/../fixtures/odd-certs.py" . && cat odd-manifest >>manifest && rm odd-manifest odd.key.pem
for key in $(awk -F'|' '$2 == "kx" {print $1}' manifest); do
    [[ -f $key.pvk ]] || openssl rsa -in "$key.key.pem" -outform PVK -pvk-none -out "$key.pvk" 2>/dev/null
done

head -c 0 /dev/urandom >data-0
printf abc >data-3
head -c 100000 /dev/urandom >data-100000
for data in data-*; do
    openssl dgst -sha1 -binary -out "$data.sha1" "$data"
    for key in $(awk -F'|' '$2 == "kx" || $2 == "sig" {print $1}' manifest); do
        openssl dgst -sha1 -sign "$key.key.pem" -out "$key.$data.sig" "$data"
    done
done
rm -f ./*.csr ./*.cnf index* serial* 1007.pem
