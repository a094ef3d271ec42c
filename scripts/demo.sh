#!/usr/bin/env bash
# The first command to run: installs the Debian packages that are missing, builds everything,
# installs the command-line tool ostrel-sign into the build tree, and shows it at work on a small
# sample store created there. BUILD_DIR chooses the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${BUILD_DIR:-build}
mkdir -p "$build" && build=$(cd "$build" && pwd)

echo "Building in $build (the compiler's output goes to $build/demo-build.log) ..."
if ! { cmake -S . -B "$build" && cmake --build "$build" -j"$(nproc)"; } >"$build/demo-build.log" 2>&1; then
    tail -n 40 "$build/demo-build.log"
    echo "The build failed; the whole log is $build/demo-build.log." >&2
    exit 1
fi
prefix=$build/demo-install
cmake --install "$build" --prefix "$prefix" >/dev/null
tool=$prefix/bin/ostrel-sign
store=$build/demo-store
bash scripts/make-demo-store.sh "$store"
export HOME=$store/home
repo=$PWD
cd "$store/files"

unexpected=0
bold=("" "") && [[ -t 1 ]] && bold=($'\e[1m' $'\e[0m')
say() { printf '\n%s%s%s\n' "${bold[0]}" "$*" "${bold[1]}"; }
# Shows the command as one would type it, runs it, and notes an outcome other than EXPECT.
run() {
    local expect=$1 shown="" status=0
    shift
    for arg in "$@"; do [[ $arg == *" "* ]] && shown+=" '$arg'" || shown+=" $arg"; done
    echo "\$ ostrel-sign$shown"
    "$tool" "$@" 2>&1 || status=$?
    if [[ $expect == ok && $status != 0 ]] || [[ $expect == fails && $status == 0 ]]; then
        echo "(unexpected: exit status $status)"
        unexpected=1
    elif ((status)); then
        echo "(exit status $status, as expected)"
    fi
}

cat <<TEXT

The sample store is the NSS database in $HOME/.pki/nssdb.
ostrel-sign always uses \$HOME/.pki/nssdb; here HOME is $HOME.
It holds four certificates: Demo Signer and Demo Signature Only (issued by Ostrel Demo CA),
Demo Expired, and Ostrel Demo CA itself, whose private key is not in the store. A smart card is
registered in it too: a SoftHSM token "Demo Card" (a card simulated in software), whose key
for Demo Card Signer is behind the PIN 1234.
TEXT

say "1. The certificates that have a private key (the CA certificate has none, so it is missing):"
run ok list
say "2. The same for scripts, as JSON:"
run ok list --json
say "3. Everything about one certificate, chosen by a piece of its subject:"
run ok show "Demo Signer"

printf 'Pay 100 euros to Ana.\n' >letter.txt
say "4. Sign letter.txt ($(wc -c <letter.txt) bytes); the tool checks the new signature at once:"
run ok sign --cert "Demo Signer" --in letter.txt --out letter.sig --base64
echo "\$ cat letter.sig" && cat letter.sig
say "5. Verify it, with the certificate from the store, then with a certificate file as a receiver would:"
run ok verify --cert "Demo Signer" --in letter.txt --signature letter.sig --base64
run ok verify --cert-file signer.der --in letter.txt --signature letter.sig --base64
sed 's/100/900/' letter.txt >forged.txt
say "6. A changed letter does not verify:"
run fails verify --cert-file signer.der --in forged.txt --signature letter.sig --base64
say "7. SHA-1 of the letter, computed by the library (sha1sum agrees):"
run ok digest letter.txt
echo "\$ sha1sum letter.txt" && sha1sum letter.txt
say "8. The card's certificate was listed in step 1 without its PIN. Signing with it asks for the
PIN through pinentry (here pinentry-tty on a terminal). A script answers the prompt for this
demo: it waits for \"PIN:\" and types 1234, and everything the terminal showed is printed:"
echo "\$ ostrel-sign sign --cert 'Demo Card Signer' --in letter.txt --out card.sig --base64"
card=(env OSTREL_PINENTRY=pinentry-tty "$tool" sign --cert "Demo Card Signer" --in letter.txt \
    --out card.sig --base64)
if ! python3 "$repo/tests/login/drive-tty.py" 1234 "${card[@]}" | sed 's/^/  | /'; then
    echo "(unexpected: the card did not sign)" && unexpected=1
fi
run ok verify --cert-file card.der --in letter.txt --signature card.sig --base64

say "9. Mistakes are explained; the exit status is 2 for a bad command line, 1 for a failure:"
run fails show 7
run fails sign --cert Demo --in letter.txt

cat <<TEXT

The tool is installed in $prefix (bin/ostrel-sign); run "ostrel-sign help" for every option.
README.md tells how to use it on your own NSS database.
TEXT
if ((unexpected)); then
    echo "Some step above did not end as expected." >&2
    exit 1
fi
