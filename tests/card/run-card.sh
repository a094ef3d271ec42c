#!/usr/bin/env bash
# run-card.sh VIRTUAL-CARD DIR COMMAND...: runs COMMAND with the card stack of card-stack.sh
# started in DIR (OSTREL_TEST_CARD_STACK and OSTREL_TEST_CARD_DIR name them), and stops the
# stack afterwards, however COMMAND ends. Exits 77, for a skipped suite, when a package the stack
# needs is not installed.
set -euo pipefail
here=$(dirname "$(readlink -f "$0")")
program=$1 dir=$2
shift 2
for need in pcscd:/usr/sbin/pcscd vsmartcard-vpcd:/usr/lib/pcsc/drivers/serial/libifdvpcd.so \
    libcacard0:/usr/lib/x86_64-linux-gnu/libcacard.so.0 \
    opensc-pkcs11:/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so opensc:/usr/bin/pkcs11-tool; do
    [[ -e ${need#*:} ]] || { echo "skipped: ${need%%:*} is not installed" && exit 77; }
done
[[ -x $program ]] || { echo "skipped: $program was not built" && exit 77; }
trap 'bash "$here/card-stack.sh" "$dir" stop' EXIT
trap 'exit 143' TERM INT HUP # through the EXIT trap
bash "$here/card-stack.sh" "$dir" start "$program"
export OSTREL_TEST_CARD_STACK=$here/card-stack.sh OSTREL_TEST_CARD_DIR=$dir
# In the background, so that a signal reaches the trap at once rather than after COMMAND.
"$@" &
child=$!
trap 'kill -TERM "$child" 2>/dev/null; exit 143' TERM INT HUP
wait "$child"
