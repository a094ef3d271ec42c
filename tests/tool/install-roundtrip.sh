#!/usr/bin/env bash
# install-roundtrip.sh BUILD FIXTURE: installs BUILD into a scratch prefix, then signs, verifies
# and fails through the installed launcher, called by a symbolic link as from a user's ~/bin.
set -euo pipefail
build=$1 fixture=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
ln -s "$scratch/prefix/bin/ostrel-sign" "$scratch/ostrel-sign"
tool=$scratch/ostrel-sign
cd "$scratch"
export HOME=$fixture/home

head -c 5000 /dev/urandom >data
"$tool" sign --cert CN=Signer --in data --out sig.b64 --base64
"$tool" verify --cert-file "$fixture/files/signer.der" --in data --signature sig.b64 --base64
# OpenSSL's opinion of the same bytes, independent of Java.
base64 -d sig.b64 >sig
openssl x509 -inform DER -in "$fixture/files/signer.der" -pubkey -noout >signer.pub
openssl dgst -sha1 -verify signer.pub -signature sig data
[[ $("$tool" digest data) == "$(sha1sum <data | cut -d' ' -f1)" ]]

# A database that cannot be opened: code 7 and its meaning, status 1.
mkdir -p broken/.pki && echo "not a database" >broken/.pki/nssdb
status=0
HOME=$scratch/broken "$tool" list 2>err || status=$?
grep -qx "ostrel-sign: listing the personal store failed: code 7: opening the personal store failed" err ||
    { cat err && exit 1; }
[[ $status == 1 ]]
echo "install round trip: OK"
