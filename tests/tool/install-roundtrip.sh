#!/usr/bin/env bash
# install-roundtrip.sh BUILD FIXTURE SLOW-MODULE: installs BUILD into a scratch prefix, then
# signs, verifies, shows the tokens and fails through the installed launcher, called by a symbolic
# link as from a user's ~/bin. SLOW-MODULE is the tests' module whose C_Initialize waits for a gate.
set -euo pipefail
build=$1 fixture=$2 slow=$3
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

# The tokens through the launcher's library path: the fixture's database and SoftHSM token, no
# advice, and JSON that a JSON reader takes, as the list's Token column is.
"$tool" tokens >tokens
grep -qx "Database: $HOME/.pki/nssdb" tokens && grep -qx '    label: *Ostrel Token' tokens &&
    grep -qx 'Advice: none; nothing looks wrong.' tokens || { cat tokens && exit 1; }
"$tool" tokens --json | python3 -c '
import json, sys
report = json.load(sys.stdin)
assert report["database"]["path"] == sys.argv[1] and report["advice"] == [], report
assert [s["token"]["label"] for m in report["modules"] for s in m["slots"] if s["token"]] == ["Ostrel Token"]
' "$HOME/.pki/nssdb"
"$tool" list --json | python3 -c '
import json, sys
assert {c["token"] for c in json.load(sys.stdin)["certificates"]} == {"NSS database", "Ostrel Token"}'

# A database that cannot be opened: code 7 and its meaning, status 1; tokens says why.
mkdir -p broken/.pki && echo "not a database" >broken/.pki/nssdb
status=0
HOME=$scratch/broken "$tool" list 2>err || status=$?
grep -qx "ostrel-sign: listing the personal store failed: code 7: opening the personal store failed" err ||
    { cat err && exit 1; }
[[ $status == 1 ]]
HOME=$scratch/broken "$tool" tokens >tokens
grep -q "cannot be opened (SEC_ERROR_BAD_DATABASE" tokens || { cat tokens && exit 1; }

# A module that never finishes starting: tokens still reports, the module as starting.
mkdir -p slow/.pki/nssdb && certutil -N -d sql:slow/.pki/nssdb --empty-password
printf '\nlibrary=%s\nname=Slow\n' "$slow" >>slow/.pki/nssdb/pkcs11.txt
HOME=$scratch/slow OSTREL_SLOW_GATE=$scratch/never JAVA_TOOL_OPTIONS=-Dostrel.tool.moduleWait=2 \
    "$tool" tokens >tokens 2>/dev/null
grep -qx '  state: *still starting (not yet loaded)' tokens || { cat tokens && exit 1; }
echo "install round trip: OK"
