#!/usr/bin/env bash
# Runs the fuzz targets of a clang fuzz build, each for a bounded time, and
# fails on any finding (crash, broken invariant, sanitizer report, leak,
# time-out).  Each target first replays its regression inputs, then fuzzes
# from its seed corpus plus the corpus that earlier runs grew in the build
# directory.  Prints the executions of every target.
#
#   fuzz/run.sh BUILD_DIR [SECONDS_PER_TARGET [TARGET...]]
#
# Findings are kept in BUILD_DIR/fuzz-work/artifacts/<target>/; the log of a
# run in BUILD_DIR/fuzz-work/<target>.log.  docs/fuzzing.md tells how to
# replay one.
set -u

if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [SECONDS_PER_TARGET [TARGET...]]" >&2
    exit 2
fi
build=$(cd "$1" && pwd) || exit 2
seconds=${2:-25}
shift $(( $# >= 2 ? 2 : 1 ))
# Every target the build made (fuzz/CMakeLists.txt lists them), unless named.
targets=${*:-$(cd "$build/bin" && ls fuzz_* | sed 's/^fuzz_//')}
src=$(cd "$(dirname "$0")" && pwd)
work=$build/fuzz-work

# Inputs longer than any the channel delivers teach nothing; the UTRAN
# header may exceed its 4096-byte store, records come in lists.
max_len() {
    case $1 in
        utran) echo 5120 ;;
        record | work | nv) echo 8192 ;;
        *) echo 4096 ;;
    esac
}

failed=""
total=0
printf '%-10s %12s  %s\n' target executions result
for t in $targets; do
    bin=$build/bin/fuzz_$t
    log=$work/$t.log
    artifacts=$work/artifacts/$t
    mkdir -p "$work/corpus/$t" "$artifacts"
    if [ ! -x "$bin" ]; then
        printf '%-10s %12s  %s\n' "$t" - "not built"
        failed="$failed $t"
        continue
    fi
    : >"$log"
    result=ok
    regressions=("$src/regressions/$t"/*)
    if [ -e "${regressions[0]}" ] && ! "$bin" "${regressions[@]}" >>"$log" 2>&1; then
        result="regression input fails"
    fi
    if [ "$result" = ok ]; then
        "$bin" -max_total_time="$seconds" -timeout=10 -max_len="$(max_len "$t")" \
            -print_final_stats=1 -artifact_prefix="$artifacts/" \
            "$work/corpus/$t" "$src/corpus/$t" >>"$log" 2>&1
        rc=$?
        if [ $rc -ne 0 ]; then
            result="FINDING (exit $rc)"
        elif [ -n "$(ls -A "$artifacts")" ]; then
            result="FINDING (artifacts)"
        fi
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    execs=${execs:-0}
    total=$((total + execs))
    printf '%-10s %12s  %s\n' "$t" "$execs" "$result"
    if [ "$result" != ok ]; then
        failed="$failed $t"
        grep -m 5 -E 'ERROR|invariant broken|runtime error|Test unit written' "$log" | sed 's/^/    /'
    fi
done
printf '%-10s %12s\n' total "$total"
if [ -n "$failed" ]; then
    echo "fuzz: findings in:$failed (logs and inputs in $work)" >&2
    exit 1
fi
