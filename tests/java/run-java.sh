#!/usr/bin/env bash
# run-java.sh MODE FIXTURE LIBDIR JAR TESTJAR [CLASS...]
# Runs the given JUnit classes (by default every class of ostrel.e2e but its subpackages) in a JVM under -Xcheck:jni, with HOME prepared by MODE:
#   fixture: the sample store; copy: a private copy of it, SoftHSM token included (for tests that
#   change it);
#   missing: no database; corrupt: a database whose cert9.db is garbage; fifo: a FIFO in place of
#   cert9.db; file: a file where the
#   database directory belongs; unreadable: a database the JVM's user may not read (the JVM
#   runs as nobody when we are root); nohome: HOME unset;
#   xdg, xdgenv: no ~/.pki/nssdb, the sample store in ~/.local/share/pki/nssdb, or in
#   $XDG_DATA_HOME/pki/nssdb; shadowed: the sample store there, but an empty ~/.pki/nssdb.
# A CLASS of the form Class#method selects one method; main:Class runs that class's main with the
# remaining arguments instead of JUnit.
set -euo pipefail
mode=$1 fixture=$2 libdir=$3 jar=$4 testjar=$5
shift 5
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
as_user=()
case $mode in
fixture) home=$fixture/home ;;
copy)
    home=$scratch/home && cp -r "$fixture/home" "$home"
    # The copy's SoftHSM tokens are its own.
    sed -i "s|$fixture/home|$home|" "$home/.config/softhsm2/softhsm2.conf"
    ;;
missing) home=$scratch/home && mkdir -p "$home" ;;
corrupt)
    home=$scratch/home && cp -r "$fixture/home" "$home"
    head -c 65536 /dev/urandom >"$home/.pki/nssdb/cert9.db"
    ;;
fifo)
    home=$scratch/home && cp -r "$fixture/home" "$home"
    rm "$home/.pki/nssdb/cert9.db" && mkfifo "$home/.pki/nssdb/cert9.db"
    ;;
file) home=$scratch/home && mkdir -p "$home/.pki" && echo "not a database" >"$home/.pki/nssdb" ;;
unreadable)
    home=$scratch/home && cp -r "$fixture/home" "$home" && chmod 000 "$home/.pki/nssdb"
    if ((EUID == 0)); then
        chmod 755 "$scratch" && chmod -R a+rX "$home"/.pki/nssdb/* && chmod 000 "$home/.pki/nssdb"
        as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    fi
    ;;
nohome) home=$scratch/home && mkdir -p "$home" ;;
xdg | xdgenv | shadowed)
    home=$scratch/home && cp -r "$fixture/home" "$home"
    sed -i "s|$fixture/home|$home|" "$home/.config/softhsm2/softhsm2.conf"
    data=$home/.local/share
    [[ $mode == xdgenv ]] && data=$scratch/data && export XDG_DATA_HOME=$data
    mkdir -p "$data/pki" && mv "$home/.pki/nssdb" "$data/pki/"
    [[ $mode == shadowed ]] && mkdir -p "$home/.pki/nssdb"
    ;;
*) echo "unknown mode $mode" >&2 && exit 2 ;;
esac
if [[ -n ${OSTREL_ASAN_RUNTIME:-} ]]; then
    # The JVM handles SEGV itself and leaks by design; our own leaks are still reported.
    echo "leak:/usr/lib/jvm/" >"$scratch/lsan.supp"
    export LD_PRELOAD=$OSTREL_ASAN_RUNTIME
    export ASAN_OPTIONS=handle_segv=0:intercept_tls_get_addr=0:malloc_context_size=2
    export LSAN_OPTIONS=suppressions=$scratch/lsan.supp
fi
selects=(--scan-classpath "$testjar" --include-package ostrel.e2e
    --exclude-package ostrel.e2e.isolated)
if (($#)); then
    selects=()
    for class in "$@"; do
        if [[ $class == *#* ]]; then selects+=(--select-method "$class"); else selects+=(--select-class "$class"); fi
    done
fi
runner=(-jar /usr/share/java/junit-platform-console-standalone.jar -cp "$jar:$testjar"
    "${selects[@]}" --fail-if-no-tests --disable-banner --details=tree --disable-ansi-colors)
if [[ ${1:-} == main:* ]]; then
    main=${1#main:}
    shift
    # A fixed, pre-touched heap, so that resident memory tracks native memory.
    runner=(-Xms96m -Xmx96m -XX:+AlwaysPreTouch -XX:+UseSerialGC -cp "$jar:$testjar" "$main" "$@")
fi
environment=(HOME="$home")
[[ $mode == nohome ]] && environment=(-u HOME)
env "${environment[@]}" "${as_user[@]}" java -Xcheck:jni -XX:ErrorFile="$scratch/hs_err_%p.log" \
    -Djava.library.path="$libdir" -Dostrel.fixture="$fixture/files" -Dostrel.home="$home" \
    -Dostrel.classpath="$jar:$testjar" --enable-native-access=ALL-UNNAMED "${runner[@]}"
