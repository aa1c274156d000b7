#!/usr/bin/env bash
# Runs test layers (make targets) for `make test` and `make check`: first the build step, then
# the layers, LANES at a time, each taking the builds as made, and every layer even when
# another fails. A layer's output goes to a log of its own and is printed whole when the layer
# ends, so that two lanes never interleave. The seconds of each step go to REPORTS/seconds.txt
# for the summary, which ends the run.
#
# usage: run-layers.sh --reports DIR [--lanes N] [--builds "TARGET..."] [--layers "NAME..."]
#                      -- LAYER_TARGET...
#   --builds   the targets the layers are built from, made first and then taken as made
#   --layers   the summary's layer names to report (default: all of them)
set -uo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
reports='' lanes=2 builds='' layers=''
while (($#)); do
    case $1 in
        --reports) reports=$2; shift ;;
        --lanes) lanes=$2; shift ;;
        --builds) builds=$2; shift ;;
        --layers) layers=$2; shift ;;
        --) shift; break ;;
        *) echo "run-layers: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done
[[ -n $reports && $lanes -ge 1 ]] || { echo "run-layers: usage: see the script's header" >&2; exit 2; }
targets=("$@")

readonly LOGS=$reports/logs
readonly SECONDS_FILE=$reports/seconds.txt
rm -rf "$reports"
mkdir -p "$LOGS"
make=(make --no-print-directory)

# record STEP SECONDS STATUS: one line of the summary's time table.
record() {
    echo "$1 $2 $3" >>"$SECONDS_FILE"
}

started=$SECONDS
read -ra build_targets <<<"$builds"
taken_as_made=()
for target in "${build_targets[@]}"; do
    taken_as_made+=(-o "$target")
done
status=0
if ((${#build_targets[@]})); then
    echo "== build: ${build_targets[*]} =="
    # -k: a layer whose own build worked still runs when another build failed. Two trees at a
    # time keep both cores busy through each one's configure, links and packaging; -O prints
    # each tree's output whole.
    "${make[@]}" -k -j 2 -Otarget "${build_targets[@]}" || status=$?
    record build $((SECONDS - started)) "$status"
fi

# run_layer TARGET: the layer in the background of its lane; its log is printed under a lock.
run_layer() {
    local target=$1 begun=$SECONDS code=0
    "${make[@]}" "${taken_as_made[@]}" "$target" >"$LOGS/$target.log" 2>&1 || code=$?
    record "$target" $((SECONDS - begun)) "$code"
    {
        flock 9
        echo "== $target: exit $code after $((SECONDS - begun)) s =="
        cat "$LOGS/$target.log"
    } 9>"$LOGS/.print.lock"
    return "$code"
}

running=0
for target in "${targets[@]}"; do
    if ((running >= lanes)); then
        wait -n || status=1
        running=$((running - 1))
    fi
    run_layer "$target" &
    running=$((running + 1))
done
while ((running > 0)); do
    wait -n || status=1
    running=$((running - 1))
done
record wall $((SECONDS - started)) "$status"

exec "$repo/scripts/test-summary.sh" ${layers:+--layers "$layers"} "$reports" "$status"
