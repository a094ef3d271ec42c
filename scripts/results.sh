# Sourced by the test scripts: records each suite's outcome and prints one summary at the end.
# A suite that fails never stops the run; only `summary` decides the exit status.
# OSTREL_RESULTS names the file the outcomes go to, so that a script run from another one adds to
# its summary rather than printing one of its own.

if [[ -z ${OSTREL_RESULTS:-} ]]; then
    OSTREL_RESULTS=$(mktemp)
    export OSTREL_RESULTS
    ostrel_results_owner=1
else
    ostrel_results_owner=0
fi

record() { # OUTCOME NAME [DETAIL]: OUTCOME is passed, failed or skipped
    printf '%s\t%s\t%s\n' "$1" "$2" "${3:-}" >>"$OSTREL_RESULTS"
}

suite() { # NAME COMMAND...: runs COMMAND and records whether it passed, and how long it took
    local name=$1 start=$SECONDS status=0
    shift
    "$@" || status=$?
    if ((status == 0)); then
        record passed "$name" "$((SECONDS - start)) s"
    else
        record failed "$name" "exit status $status after $((SECONDS - start)) s"
        echo "FAILED: $name"
    fi
    return 0
}

timed() { # STEP COMMAND...: runs COMMAND (its status is returned) and notes how long STEP took
    local step=$1 start=$SECONDS status=0
    shift
    "$@" || status=$?
    printf 'time\t%s\t%s s\n' "$step" "$((SECONDS - start))" >>"$OSTREL_RESULTS"
    return $status
}

skip() { # NAME WHY
    record skipped "$1" "$2"
    echo "SKIPPED: $1: $2"
}

# Owner only: prints every outcome, then the counts, and fails when anything failed.
summary() {
    ((ostrel_results_owner)) || return 0
    local outcome name detail passed=0 failed=0 skipped=0
    echo
    echo "Time by step"
    sed -n 's/^time\t\(.*\)\t\(.*\)$/  \2\t\1/p' "$OSTREL_RESULTS"
    echo "Summary"
    while IFS=$'\t' read -r outcome name detail; do
        [[ $outcome != time ]] || continue
        printf '  %-8s %s%s\n' "$outcome" "$name" "${detail:+ ($detail)}"
        case $outcome in
        passed) passed=$((passed + 1)) ;;
        failed) failed=$((failed + 1)) ;;
        skipped) skipped=$((skipped + 1)) ;;
        esac
    done <"$OSTREL_RESULTS"
    rm -f "$OSTREL_RESULTS"
    echo "$passed passed, $failed failed, $skipped skipped"
    ((skipped == 0)) || echo "Skipped suites did not run: they are not passes."
    ((failed == 0))
}
