#!/usr/bin/env bash
# Runs the Wine suite against the cross-built DLL, group by group (tests/wine/groups.txt), each
# in a private Wine prefix; with --smoke, runs the smoke session instead; with --suite
# conformance, e2e or checker, runs the platform conformance suite, the sample package end to
# end or the package checker's variants the same way (tests/SUITE/groups.txt). Each group's
# stderr (Wine's own errors among it) goes to wine.stderr beside the program, where the
# programs read it, and is printed when the group fails.
#
# usage: run-wine-tests.sh [--smoke] [--suite wine|conformance|e2e|checker] [--build DIR] [--dll FILE]
#                          [--reports DIR] [--report-prefix NAME] [--jobs N] [--shards N]
#                          [--group NAME]
#                          [-- GTEST_ARGS...]
#   --build DIR    the mingw build tree (default build/mingw)
#   --dll FILE     the DLL to test (default: the one in the build tree)
#   --reports DIR  where to put one GoogleTest XML report per group (wine-GROUP.xml, or
#                  conf-wine-GROUP.xml for the conformance suite)
#   --report-prefix NAME  names those reports NAME-GROUP.xml instead
#   --keep DIR     copy the logs and outputs the programs leave (*.log, *.txt) into DIR
#   --jobs N       run up to N groups at once, each in its own prefix (default ZELK_WINE_JOBS,
#                  or 2); the groups sharing a prefix run one after another
#   --shards N     split each group's tests into N shards (GoogleTest's sharding), each run
#                  as a group of its own, NAME-sK, in a fresh prefix
#   --group NAME   run only this group; GTEST_ARGS go to every group run, e.g.
#                  --group main -- --gtest_filter=NoData.*
# ZELK_WINE_KEEP=1 keeps the run prefixes under build/wine/run for a look afterwards.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build/mingw
dll=
reports=
report_prefix=
only_group=
smoke=false
keep=
suite=wine
jobs=${ZELK_WINE_JOBS:-2}
shards=1
job_logs=
gtest_args=()

while (($#)); do
    case $1 in
        --smoke) smoke=true ;;
        --suite) suite=$2; shift ;;
        --build) build=$2; shift ;;
        --dll) dll=$2; shift ;;
        --reports) reports=$2; shift ;;
        --report-prefix) report_prefix=$2; shift ;;
        --group) only_group=$2; shift ;;
        --keep) keep=$2; shift ;;
        --jobs) jobs=$2; shift ;;
        --shards) shards=$2; shift ;;
        --) shift; gtest_args=("$@"); break ;;
        *) echo "run-wine-tests: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done

dll=${dll:-$build/zelk_ca.dll}
programs=$build/tests/wine
# Stand-ins the tests lay on the machine themselves: a kernel driver and a recording program;
# and newdev.dll, which only groups with WINEDLLOVERRIDES=newdev=n load in place of Wine's own.
standins=("$programs/zelk_testdrv.sys" "$programs/record_args.exe" "$programs/newdev.dll")
# Each suite has its own program, groups, reports and prefixes, and files laid beside it.
extras=()
# A run with reports of its own names (a second DLL's, windows mode's) gets prefixes of its own
# too, so that it can run beside the suite's plain run.
own_prefix=${report_prefix:+$report_prefix-}
case $suite in
    wine) program=$programs/wine_tests.exe report_prefix=${report_prefix:-wine} run_prefix= ;;
    conformance) program=$build/tests/conformance/conformance_tests.exe
        extras=("$build/tests/conformance/conformance_session.msi")
        report_prefix=${report_prefix:-conf-wine} run_prefix=conf- ;;
    e2e) program=$build/tests/e2e/e2e_tests.exe report_prefix=${report_prefix:-e2e} run_prefix=e2e-
        extras=("$build"/package/zelk_*.msi) ;;
    checker) program=$build/tests/checker/checker_tests.exe
        report_prefix=${report_prefix:-checker} run_prefix=checker-
        extras=("$build"/package/{zelk_drivers,zelk_minimal,own_actions}.msi
            "$build/tools/checker/zelk_ca_check.exe" "$build/tools/checker/zelk_ca.cub"
            "$build/tests/checker/zelk_validate.exe") ;;
    *) echo "run-wine-tests: unknown suite $suite" >&2; exit 2 ;;
esac
run_prefix=${own_prefix:-$run_prefix}
groups_file=$repo/tests/$suite/groups.txt
for file in "$dll" "$program" "$programs/smoke.exe" "$programs/session.msi" \
    "${standins[@]}" "${extras[@]}"; do
    [[ -f "$file" ]] || { echo "run-wine-tests: $file is missing; build the mingw preset" >&2; exit 2; }
done

export ZELK_WINE_ROOT=${ZELK_WINE_ROOT:-$repo/build/wine}
# shellcheck source=wine-env.sh
source "$repo/scripts/wine-env.sh"
trap wine_cleanup EXIT

readonly GROUP_SECONDS=${ZELK_WINE_GROUP_TIMEOUT:-900}
readonly FOLDER='C:\zelk-tests'
readonly DEFAULT_LOCALE=en_US.UTF-8

# Lays the DLL beside the programs on the prefix's C: drive, where they find it.
install_programs() {
    local folder=$1/drive_c/zelk-tests
    mkdir -p "$folder"
    cp "$dll" "$program" "$programs/smoke.exe" "$programs/session.msi" \
        "${standins[@]}" "${extras[@]}" "$folder/"
}

# A group that crashed or hung leaves no report; this one counts it as one failure.
write_lost_report() {
    local file=$1 name=$2 status=$3
    cat >"$file" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<testsuites tests="1" failures="1" disabled="0" errors="0" name="AllTests">
  <testsuite name="WineGroup" tests="1" failures="1" disabled="0" skipped="0" errors="0">
    <testcase name="$name" classname="WineGroup"><failure message="no report, exit status $status"/></testcase>
  </testsuite>
</testsuites>
XML
}

run_smoke() {
    wine_ensure_template
    wine_copy_prefix smoke
    local prefix
    prefix=$(wine_prefix smoke)
    install_programs "$prefix"
    local status=0
    wine_run "$prefix" 120 env LC_ALL=$DEFAULT_LOCALE wine "$FOLDER\\smoke.exe" </dev/null || status=$?
    wine_remove_prefix smoke
    return "$status"
}

# run_group NAME PREFIX FILTER [NAME=value...]: one run of the suite; returns its exit status.
run_group() {
    local name=$1 kind=$2 filter=$3
    shift 3
    local run=${run_prefix}shared
    if [[ $kind == fresh ]]; then
        run=$run_prefix$name
        wine_copy_prefix "$run"
    fi
    local prefix
    prefix=$(wine_prefix "$run")
    install_programs "$prefix"
    local report="report-$name.xml"
    rm -f "$prefix/drive_c/zelk-tests/$report"

    # A group's DLL overrides come on top of the runner's own.
    local variables=() word
    for word in "$@"; do
        if [[ $word == WINEDLLOVERRIDES=* ]]; then
            word="WINEDLLOVERRIDES=$ZELK_WINE_DLL_OVERRIDES;${word#*=}"
        fi
        variables+=("$word")
    done

    echo "wine: group $name ($filter)${*:+ with $*}"
    local started=$SECONDS status=0 folder=$prefix/drive_c/zelk-tests
    wine_run "$prefix" "$GROUP_SECONDS" env LC_ALL=$DEFAULT_LOCALE "${variables[@]}" \
        wine "$FOLDER\\${program##*/}" --gtest_filter="$filter" \
        --gtest_output="xml:$FOLDER\\$report" "${gtest_args[@]}" </dev/null \
        2>"$folder/wine.stderr" || status=$?
    ((status == 0)) || cat "$folder/wine.stderr" >&2
    if [[ -n $keep ]]; then
        rm -rf "${keep:?}/$name" && mkdir -p "$keep/$name"
        cp "$folder/wine.stderr" "$keep/$name/"
        find "$folder" -maxdepth 1 \( -name '*.log' -o -name '*.txt' \) -exec cp {} "$keep/$name/" \;
    fi
    if ((status == 124 || status == 137)); then
        echo "wine: group $name timed out after $GROUP_SECONDS s" >&2
    fi
    if [[ -n $reports ]]; then
        mkdir -p "$reports"
        if [[ -f "$prefix/drive_c/zelk-tests/$report" ]]; then
            cp "$prefix/drive_c/zelk-tests/$report" "$reports/$report_prefix-$name.xml"
        else
            write_lost_report "$reports/$report_prefix-$name.xml" "$name" "$status"
        fi
    fi
    echo "wine: group $name finished with status $status in $((SECONDS - started)) s"
    if [[ $kind == fresh ]]; then
        wine_remove_prefix "$run" || status=1
    fi
    return "$status"
}

# run_group_job NAME KIND FILTER [NAME=value...]: run_group with its output in a log of its own,
# printed whole under a lock when it ends, so that groups running side by side (in this run or
# another one) never interleave; its exit status goes to NAME.status beside the log.
run_group_job() {
    local name=$1 status=0
    run_group "$@" >"$job_logs/$name.log" 2>&1 || status=$?
    echo "$status" >"$job_logs/$name.status"
    {
        flock 9
        cat "$job_logs/$name.log"
    } 9>"$ZELK_WINE_ROOT/.print.lock"
}

run_suite() {
    local groups=() claimed=() line name kind filter environment main_environment='' main_filter=-
    while read -r line; do
        [[ -z $line || $line == \#* ]] && continue
        read -r name kind filter environment <<<"$line"
        # Group main's line gives its environment, and its tests: those named, or with "-" the
        # ones no other group claims.
        if [[ $name == main ]]; then
            main_environment=$environment main_filter=$filter
            continue
        fi
        groups+=("$name|$kind|$filter|$environment")
        claimed+=("$filter")
    done <"$groups_file"
    local unclaimed
    unclaimed=$(IFS=:; echo "${claimed[*]}")
    [[ $main_filter == - ]] && main_filter="*${unclaimed:+-$unclaimed}"
    groups=("main|shared|$main_filter|$main_environment" "${groups[@]}")

    wine_ensure_template
    wine_copy_prefix "${run_prefix}shared"
    job_logs=$(mktemp -d)
    # The groups on the shared prefix run one after another in one job; each fresh group is a
    # job of its own, JOBS at a time. A group's Wine keeps less than a core busy, waiting on
    # its wineserver and the processes it starts.
    local shared=() fresh=() entry running=0 index
    for entry in "${groups[@]}"; do
        IFS='|' read -r name kind filter environment <<<"$entry"
        [[ -n $only_group && $name != "$only_group" ]] && continue
        if ((shards > 1)); then
            for ((index = 0; index < shards; index++)); do
                fresh+=("$name-s$((index + 1))|fresh|$filter|$environment GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$index")
                ZELK_WINE_PREFIXES+=("$(wine_prefix "$run_prefix$name-s$((index + 1))")")
            done
            continue
        fi
        if [[ $kind == fresh ]]; then
            fresh+=("$entry")
            # Known to the EXIT trap, which stops and removes what a stopped job left.
            ZELK_WINE_PREFIXES+=("$(wine_prefix "$run_prefix$name")")
        else
            shared+=("$entry")
        fi
    done
    if ((${#shared[@]})); then
        (
            for entry in "${shared[@]}"; do
                IFS='|' read -r name kind filter environment <<<"$entry"
                # shellcheck disable=SC2086  # environment is a list of NAME=value words
                run_group_job "$name" "$kind" "$filter" $environment
            done
        ) &
        running=1
    fi
    for entry in "${fresh[@]}"; do
        if ((running >= jobs)); then
            wait -n
            running=$((running - 1))
        fi
        IFS='|' read -r name kind filter environment <<<"$entry"
        # shellcheck disable=SC2086
        run_group_job "$name" "$kind" "$filter" $environment &
        running=$((running + 1))
    done
    wait
    local failed=() status
    wine_remove_prefix "${run_prefix}shared" || failed+=("(the template)")
    for entry in "${shared[@]}" "${fresh[@]}"; do
        name=${entry%%|*}
        [[ -f $job_logs/$name.status ]] || continue
        status=$(<"$job_logs/$name.status")
        ((status == 0)) || failed+=("$name")
    done
    rm -rf "$job_logs"
    if ((${#failed[@]})); then
        echo "wine: failed groups: ${failed[*]}" >&2
        return 1
    fi
}

if $smoke; then
    run_smoke
else
    run_suite
fi
