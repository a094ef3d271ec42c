#!/usr/bin/env bash
# The first command to run: installs the Debian packages that are missing, builds everything,
# installs the command-line tool ostrel-sign into the build tree, and shows it at work on a small
# sample store created there, then on a virtual smart card through pcscd, a reader and OpenSC
# when the card stack can run here. BUILD_DIR chooses the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# The card stack is optional, as in the tests: what the registry cannot supply is skipped below.
card_packages=(pcscd vsmartcard-vpcd libcacard0)
bash scripts/install-deps.sh --optional --no-recommends "${card_packages[@]}"
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

The sample store is the NSS database in $HOME/.pki/nssdb: here HOME is $HOME,
and ostrel-sign uses ~/.pki/nssdb because it exists (NSS's own rule; step 3 shows it). Your own
database is not touched. It holds four certificates: Demo Signer and Demo Signature Only (issued by Ostrel Demo CA),
Demo Expired, and Ostrel Demo CA itself, whose private key is not in the store. A smart card is
registered in it too: a SoftHSM token "Demo Card" (a card simulated in software), whose key
for Demo Card Signer is behind the PIN 1234.
TEXT

say "1. The certificates that have a private key (the CA certificate has none, so it is missing),
and the token each is on (\"NSS database\" for the database's own):"
run ok list
say "2. The same for scripts, as JSON:"
run ok list --json
say "3. What the store is made of: the database in use and why, each module, its slots and
tokens, and advice when something is wrong (it never asks for a PIN; --json for scripts):"
run ok tokens
say "4. Everything about one certificate, chosen by a piece of its subject:"
run ok show "Demo Signer"

printf 'Pay 100 euros to Ana.\n' >letter.txt
say "5. Sign letter.txt ($(wc -c <letter.txt) bytes); the tool checks the new signature at once:"
run ok sign --cert "Demo Signer" --in letter.txt --out letter.sig --base64
echo "\$ cat letter.sig" && cat letter.sig
say "6. Verify it, with the certificate from the store, then with a certificate file as a receiver would:"
run ok verify --cert "Demo Signer" --in letter.txt --signature letter.sig --base64
run ok verify --cert-file signer.der --in letter.txt --signature letter.sig --base64
sed 's/100/900/' letter.txt >forged.txt
say "7. A changed letter does not verify:"
run fails verify --cert-file signer.der --in forged.txt --signature letter.sig --base64
say "8. SHA-1 of the letter, computed by the library (sha1sum agrees):"
run ok digest letter.txt
echo "\$ sha1sum letter.txt" && sha1sum letter.txt
say "9. The card's certificate was listed in step 1 without its PIN. Signing with it asks for the
PIN through pinentry (here pinentry-tty on a terminal). A script answers the prompt for this
demo: it waits for \"PIN:\" and types 1234, and everything the terminal showed is printed:"
echo "\$ ostrel-sign sign --cert 'Demo Card Signer' --in letter.txt --out card.sig --base64"
card=(env OSTREL_PINENTRY=pinentry-tty "$tool" sign --cert "Demo Card Signer" --in letter.txt \
    --out card.sig --base64)
if ! python3 "$repo/tests/login/drive-tty.py" 1234 "${card[@]}" | sed 's/^/  | /'; then
    echo "(unexpected: the card did not sign)" && unexpected=1
fi
run ok verify --cert-file card.der --in letter.txt --signature card.sig --base64

say "10. Mistakes are explained; the exit status is 2 for a bad command line, 1 for a failure:"
run fails show 7
run fails sign --cert Demo --in letter.txt

# A card as users have it: pcscd, a reader, a card and OpenSC, all real but the card and the
# reader, which are software (tests/card/card-stack.sh). Why it cannot run, or nothing.
card_skip() {
    local p
    for p in "${card_packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" ||
            { echo "the package $p is not installed (apt-get install ${card_packages[*]})" && return; }
    done
    [[ -f $repo/tests/card/card-stack.sh ]] || { echo "tests/card/card-stack.sh is not in this tree" && return; }
    [[ -x $build/tests/card/virtual-card ]] || { echo "the virtual card was not built" && return; }
    ((EUID == 0)) || echo "the stack runs pcscd in a mount namespace of its own, which needs root"
}
why=$(card_skip)
if [[ -n $why ]]; then
    say "11. The virtual smart card through pcscd and OpenSC: skipped, because $why."
else
    stack=$build/demo-card
    say "11. A smart card through the stack people have: pcscd, a reader, the card, and OpenSC's
opensc-pkcs11.so registered in a store of its own ($stack/home/.pki/nssdb). The reader is
vsmartcard's virtual one and the card libcacard's virtual CAC card, started now:"
    trap 'bash "$repo/tests/card/card-stack.sh" "$stack" stop' EXIT
    if ! bash "$repo/tests/card/card-stack.sh" "$stack" start "$build/tests/card/virtual-card" \
        >"$store/card-stack.log" 2>&1; then
        tail -n 20 "$store/card-stack.log"
        echo "(unexpected: the card stack did not start)" && unexpected=1
    else
        source "$stack/env" # HOME and PCSCLITE_CSOCK_NAME: that store, and that pcscd's socket
        echo "(HOME=$HOME; PCSCLITE_CSOCK_NAME=$PCSCLITE_CSOCK_NAME)"
        run ok tokens
        run ok list
        printf 'pin %s\n' "$(cat "$stack/pin")" >"$store/card-pin"
        say "12. Sign with the card's first certificate. The PIN is typed by a script, not a person:
OSTREL_PINENTRY names the tests' fake pinentry (tests/login/fake-pinentry), which answers
$(cat "$stack/pin") from a file, and DISPLAY is set only so that the library may ask. On a desktop the
real pinentry asks you:"
        export OSTREL_PINENTRY=$repo/tests/login/fake-pinentry DISPLAY=:99
        export FAKE_PINENTRY_SCRIPT=$store/card-pin FAKE_PINENTRY_LOG=$store/card-pinentry.log
        rm -f "$FAKE_PINENTRY_LOG"
        run ok sign --cert "Card Signer 1" --in letter.txt --out cac.sig --base64
        echo "The prompt it was asked to show:"
        sed -n 's/^SETDESC //p' "$FAKE_PINENTRY_LOG" | sed 's/%0A/ /g; s/%25/%/g; s/^/  | /'
        run ok verify --cert-file "$stack/card1.der" --in letter.txt --signature cac.sig --base64
    fi
fi

cat <<TEXT

The tool is installed in $prefix (bin/ostrel-sign); run "ostrel-sign help" for every option.
README.md tells how to use it on your own NSS database.
TEXT
if ((unexpected)); then
    echo "Some step above did not end as expected." >&2
    exit 1
fi
