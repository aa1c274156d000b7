#!/usr/bin/env bash
# Runs the fuzz targets: fuzzing and seeding with the libFuzzer programs of the "fuzz" preset
# (build/fuzz/tests/fuzz/*_fuzz), the replay with the host build's replay program
# (build/host/tests/fuzz/fuzz_replay, every target under ASan and UBSan without libFuzzer).
#
# usage: fuzz.sh run [--seconds N] [--runs N] [TARGET...]
#            fuzzes each target for N seconds (default 180) or N executions, whichever ends
#            first, from its seed corpus in tests/fuzz/corpus/TARGET; the corpus it grows stays
#            in build/fuzz/runs/TARGET, findings go to build/fuzz/findings/
#        fuzz.sh seed [TARGET...]
#            adds to each seed corpus the inputs of the grown corpus that reach code the seeds
#            do not (edges only, so that the seed corpus stays small)
#        fuzz.sh replay [--report FILE] [TARGET...]
#            runs each target once over every input of its seed corpus, so that every past
#            finding stays mended; FILE gets a GoogleTest-style report, one test per target
set -uo pipefail

readonly ROOT=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=test-report.sh
source "$ROOT/scripts/test-report.sh"
readonly TARGETS_DIR=$ROOT/build/fuzz/tests/fuzz
readonly SEEDS=$ROOT/tests/fuzz/corpus
readonly RUNS=$ROOT/build/fuzz/runs
readonly FINDINGS=$ROOT/build/fuzz/findings
readonly REPLAY=$ROOT/build/host/tests/fuzz/fuzz_replay
readonly REPLAY_LOGS=$ROOT/build/host/fuzz-replay
# Path shapes the mutations would rarely build byte by byte: every target reads paths or text.
readonly DICTIONARY=$ROOT/tests/fuzz/paths.dict
# Shorter allocation stacks: the targets allocate a lot, and a finding is rerun to read it.
export ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=5}

mode=${1:?usage: fuzz.sh run|seed|replay ...}
shift
seconds=180 runs=-1 report=
targets=()
while (($#)); do
    case $1 in
        --seconds) seconds=$2; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        --report) report=$2; shift 2 ;;
        *) targets+=("$1"); shift ;;
    esac
done
if ((${#targets[@]} == 0)) && [[ $mode == replay ]]; then
    [[ -x $REPLAY ]] && mapfile -t targets < <("$REPLAY" --list)
elif ((${#targets[@]} == 0)); then
    for binary in "$TARGETS_DIR"/*_fuzz; do
        [[ -x $binary ]] && targets+=("$(basename "$binary" _fuzz)")
    done
fi
if ((${#targets[@]} == 0)); then
    [[ $mode == replay ]] && built="$REPLAY (make host)" || built="$TARGETS_DIR (make fuzz-build)"
    echo "fuzz: no targets in $built" >&2
    exit 1
fi

# run_target NAME: fuzzes one target; prints its executions and findings.
run_target() {
    local name=$1 log executions findings
    mkdir -p "$RUNS/$name" "$FINDINGS" "$SEEDS/$name"
    log=$RUNS/$name.log
    "$TARGETS_DIR/${name}_fuzz" -max_total_time="$seconds" -runs="$runs" -timeout=10 \
        -dict="$DICTIONARY" -print_final_stats=1 -artifact_prefix="$FINDINGS/$name-" \
        "$RUNS/$name" "$SEEDS/$name" >"$log" 2>&1
    local status=$?
    executions=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
    findings=$(find "$FINDINGS" -name "$name-*" | wc -l)
    printf '  %-38s %10s executions, %d findings\n' "$name" "${executions:-?}" "$findings"
    if ((status != 0)); then
        echo "    stopped with status $status; see $log" >&2
        return 1
    fi
}

# replay_target NAME: reruns every seed in one process; prints ok or the input that failed.
replay_target() {
    local name=$1
    local log=$REPLAY_LOGS/$name.log
    shopt -s nullglob
    local inputs=("$SEEDS/$name"/*)
    shopt -u nullglob
    mkdir -p "$REPLAY_LOGS"
    if ((${#inputs[@]} == 0)); then
        printf '  FAIL  %-38s no seed corpus\n' "$name"
        results+=("$name|no|no seed corpus")
    elif "$REPLAY" "$name" "${inputs[@]}" >"$log" 2>&1; then
        printf '  ok    %-38s %d inputs\n' "$name" "${#inputs[@]}"
        results+=("$name|yes|")
    else
        local input
        input=$(grep -o 'Running: .*' "$log" | tail -1)
        printf '  FAIL  %-38s %s (see %s)\n' "$name" "${input#Running: }" "$log"
        results+=("$name|no|fails on ${input#Running: }")
    fi
}


status=0
case $mode in
    run)
        echo "fuzz: ${#targets[@]} targets, up to $seconds s or $runs executions each"
        for name in "${targets[@]}"; do
            run_target "$name" || status=1
        done
        ;;
    seed)
        for name in "${targets[@]}"; do
            mkdir -p "$SEEDS/$name"
            "$TARGETS_DIR/${name}_fuzz" -merge=1 -use_counters=0 "$SEEDS/$name" "$RUNS/$name" \
                >"$RUNS/$name.seed.log" 2>&1 || status=1
            printf '  %-38s %d seeds\n' "$name" "$(find "$SEEDS/$name" -type f | wc -l)"
        done
        ;;
    replay)
        results=()
        echo "fuzz: replaying the seed corpus of ${#targets[@]} targets"
        for name in "${targets[@]}"; do
            replay_target "$name"
        done
        [[ -n $report ]] && write_test_report "$report" FuzzCorpus "${results[@]}"
        [[ " ${results[*]} " == *"|no|"* ]] && status=1
        ;;
    *)
        echo "usage: fuzz.sh run|seed|replay ..." >&2
        exit 2
        ;;
esac
exit $status
