#!/usr/bin/env bash
# card-stack.sh DIR COMMAND: a smart-card stack as users have it, without hardware, in DIR.
#
#   start VIRTUAL-CARD [--empty]  builds the card and a test HOME, starts pcscd (its own socket and
#                                 reader config) and VIRTUAL-CARD (tests/card/virtual_card.cpp),
#                                 and inserts the card unless --empty
#   insert | pull                 inserts or pulls the card; returns once the reader reports it
#   reset [--empty]               a new card with the same certificates (its PIN's tries reset),
#                                 inserted unless --empty; pcscd started if it is not running
#   stop-pcscd | start-pcscd      stops pcscd (the card is then out) or starts it, card inserted
#   restart-pcscd                 both
#   stop                          stops every process the stack started, by the PIDs in DIR
#
# After start, DIR holds: env (PCSCLITE_CSOCK_NAME and HOME, for `source`), home/ (a test HOME
# whose .pki/nssdb has OpenSC's module registered, and OpenSC's file cache), card1.der ...
# card3.der (the card's certificates), pin, and the logs.
#
# pcscd runs in the foreground in a mount namespace of its own, with DIR/run bind-mounted over
# /run/pcscd, so that its socket, PID file and clean-up never touch a system pcscd; clients find
# it through PCSCLITE_CSOCK_NAME. The card's NSS database (password: the PIN) is libcacard's
# alone; OpenSC is registered only in the test HOME.
set -euo pipefail
dir=$(realpath -m "$1") command=$2
shift 2
readonly PIN=123456 OPENSC=/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so
readonly VPCD=/usr/lib/pcsc/drivers/serial/libifdvpcd.so

fail() { echo "card-stack: $*" >&2 && exit 1; }

# await WHAT SECONDS COMMAND...: polls COMMAND every 50 ms until it succeeds.
await() {
    local what=$1 deadline=$((SECONDS + $2))
    shift 2
    until "$@"; do
        ((SECONDS < deadline)) || fail "timed out waiting for $what"
        sleep 0.05
    done
}

# The PID in FILE when it is still the program it was recorded for.
alive() { # FILE PROGRAM
    local pid
    pid=$(cat "$1" 2>/dev/null) || return 1
    [[ $(readlink "/proc/$pid/exe" 2>/dev/null) == "$2" ]] && echo "$pid"
}

running() { [[ -e /proc/$1 && $(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null) != Z ]]; }

# Stops the process recorded in FILE: SIGTERM, then SIGKILL after 5 s. (A zombie is gone: its
# parent is init, which reaps it in its own time.)
halt() { # FILE PROGRAM
    local pid deadline=$((SECONDS + 5))
    if pid=$(alive "$1" "$2"); then
        kill -TERM "$pid" 2>/dev/null || true
        while running "$pid" && ((SECONDS < deadline)); do sleep 0.02; done
        ! running "$pid" || kill -KILL "$pid" 2>/dev/null || true
        while running "$pid"; do sleep 0.02; done
    fi
    rm -f "$1"
}

card_field() { sed -n "s/.*$1=\([a-z0-9]*\).*/\1/p" "$dir/card.state" 2>/dev/null; }
card_program() { readlink -f "$(cat "$dir/card.program")"; }
# What a PC/SC client sees in the card's reader: Yes or No.
reader_reports() { # Yes|No
    [[ $(opensc-tool -l 2>/dev/null | awk '$1 == "0" { print $2 }') == "$1" ]]
}
vpcd_listens() {
    local pid
    pid=$(alive "$dir/pcscd.pid" /usr/sbin/pcscd) &&
        ss -Hltnp "sport = :$(cat "$dir/port")" | grep -q "pid=$pid,"
}

start_pcscd() {
    ! alive "$dir/pcscd.pid" /usr/sbin/pcscd >/dev/null || fail "pcscd is running already"
    mkdir -p "$dir/run" /run/pcscd # the mount point; a system pcscd uses it the same way
    rm -f "$dir/run/"*
    unshare -m --propagation private -- sh -c 'mount --bind "$0" /run/pcscd && exec "$@"' \
        "$dir/run" /usr/sbin/pcscd --foreground --config "$dir/conf" \
        </dev/null >>"$dir/pcscd.log" 2>&1 &
    echo $! >"$dir/pcscd.pid"
    await "pcscd's socket" 10 test -S "$dir/run/pcscd.comm"
    await "vpcd on port $(cat "$dir/port")" 10 vpcd_listens
}

start_card() {
    ! alive "$dir/card.pid" "$(card_program)" >/dev/null || fail "the card is running already"
    # A card swapped between two of pcscd's polls would look like the same card, still powered.
    ! alive "$dir/pcscd.pid" /usr/sbin/pcscd >/dev/null || await "no card" 10 reader_reports No
    rm -f "$dir/card.state"
    "$(cat "$dir/card.program")" "sql:$dir/card" "$PIN" "$(cat "$dir/port")" "$dir/card.state" \
        card1 card2 card3 </dev/null >>"$dir/card.log" 2>&1 &
    echo $! >"$dir/card.pid"
    await "the virtual card" 10 test -s "$dir/card.state"
}

insert() {
    local pid before
    pid=$(alive "$dir/card.pid" "$(card_program)") || fail "the virtual card is not running"
    if [[ $(card_field state) != inserted ]]; then
        before=$(card_field powered)
        kill -USR1 "$pid"
        # pcscd powers a card up as soon as it sees it.
        await "the reader to power the card" 10 eval '(($(card_field powered) > before))'
    fi
    await "the reader to report the card" 10 reader_reports Yes
}

pull() {
    local pid
    pid=$(alive "$dir/card.pid" "$(card_program)") || fail "the virtual card is not running"
    kill -USR2 "$pid"
    await "the card to go" 10 eval '[[ $(card_field state) == pulled ]]'
    await "the reader to report no card" 10 reader_reports No
}

stop_all() {
    [[ -f $dir/card.program ]] && halt "$dir/card.pid" "$(card_program)"
    halt "$dir/pcscd.pid" /usr/sbin/pcscd
}

# Two free ports: vpcd listens on PORT and PORT+1 (two readers).
free_ports() {
    python3 - <<'EOF'
import random, socket
for _ in range(200):
    port = random.randrange(20000, 60000)
    try:
        for p in (port, port + 1):
            with socket.socket() as s:
                s.bind(("", p))
        print(port)
        break
    except OSError:
        pass
EOF
}

make_card() {
    mkdir -p "$dir/card"
    echo "$PIN" >"$dir/pin"
    head -c 256 /dev/urandom >"$dir/noise"
    certutil -N -d "sql:$dir/card" -f "$dir/pin"
    local i
    for i in 1 2 3; do
        certutil -S -d "sql:$dir/card" -f "$dir/pin" -z "$dir/noise" -n "card$i" \
            -s "CN=Card Signer $i,O=Ostrel Test,C=ES" -x -t u,u,u -k rsa -g 2048 -Z SHA256 \
            -m $((100 + i)) -v 24 --keyUsage digitalSignature,nonRepudiation </dev/null >/dev/null
        certutil -L -d "sql:$dir/card" -n "card$i" -r >"$dir/card$i.der"
    done
}

make_home() {
    mkdir -p "$dir/home/.pki/nssdb"
    certutil -N -d "sql:$dir/home/.pki/nssdb" --empty-password
    # modutil loads the module: it must talk to this stack's pcscd and cache under this HOME.
    modutil -dbdir "sql:$dir/home/.pki/nssdb" -add OpenSC -libfile "$OPENSC" -force >/dev/null
}

# Every client of the stack runs with this environment.
export PCSCLITE_CSOCK_NAME=$dir/run/pcscd.comm HOME=$dir/home
case $command in
start)
    program=$(readlink -f "${1:?start needs the virtual card program}")
    for f in /usr/sbin/pcscd "$VPCD" "$OPENSC" "$program"; do
        [[ -f $f ]] || fail "$f is missing"
    done
    if [[ -e $dir ]]; then
        [[ -f $dir/card.program || -z $(ls -A "$dir") ]] || fail "$dir is not a card stack's"
        stop_all
        rm -rf "$dir"
    fi
    mkdir -p "$dir/conf"
    echo "$program" >"$dir/card.program"
    free_ports >"$dir/port"
    [[ -s $dir/port ]] || fail "no free port for vpcd"
    printf 'FRIENDLYNAME "Virtual PCD"\nDEVICENAME /dev/null:%s\nLIBPATH %s\nCHANNELID %s\n' \
        "$(cat "$dir/port")" "$VPCD" "$(cat "$dir/port")" >"$dir/conf/vpcd"
    printf 'export PCSCLITE_CSOCK_NAME=%q HOME=%q\n' "$PCSCLITE_CSOCK_NAME" "$HOME" >"$dir/env"
    make_card
    started=0
    trap '((started)) || stop_all' EXIT # a start that fails leaves nothing running
    start_pcscd
    make_home
    start_card
    [[ ${2:-} == --empty ]] || insert
    started=1
    ;;
insert) insert ;;
pull) pull ;;
reset)
    alive "$dir/pcscd.pid" /usr/sbin/pcscd >/dev/null || start_pcscd
    halt "$dir/card.pid" "$(card_program)"
    start_card
    [[ ${1:-} == --empty ]] || insert
    ;;
stop-pcscd)
    halt "$dir/pcscd.pid" /usr/sbin/pcscd
    # The virtual card sees the reader go, as a card in a reader whose driver was unloaded.
    await "the card to go" 10 eval '[[ $(card_field state) == pulled ]]'
    ;;
start-pcscd)
    start_pcscd
    insert
    ;;
restart-pcscd)
    "$0" "$dir" stop-pcscd
    "$0" "$dir" start-pcscd
    ;;
stop) stop_all ;;
*) fail "unknown command $command" ;;
esac
