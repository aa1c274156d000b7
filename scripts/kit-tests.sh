#!/usr/bin/env bash
# The kit's .cmd files under Wine's cmd, in a private prefix, on the kit `make kit` put
# together (part of the windows-mode layer): run.cmd and collect.cmd take only a name of the
# table ("x&echo hi" and ..\x get the usage and exit 2, and run no command); run.cmd checks
# exits 0 when both programs pass and 1, naming the program, when a conformance case fails (the
# kit copied without conformance_session.msi fails the installer session's cases); run.cmd
# keeps what each program printed in results\; collect.cmd stages the reports with that console
# output, and, Wine having no PowerShell to make the zip, says so, exits 1 and keeps the files.
# prepare.cmd records the facts and, test signing being off under Wine, exits 2.
# GTEST_FILTER keeps the programs to a few cases.
#
# usage: kit-tests.sh [--report FILE]   (FILE: a GoogleTest-style XML report)
set -uo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=test-report.sh
source "$repo/scripts/test-report.sh"
report=
if [[ ${1:-} == --report ]]; then
    report=${2:?--report needs a file}
fi
readonly KIT=$repo/dist/windows-check
readonly WORK=$repo/build/kit-tests
readonly CASE=Msi.PropertiesAnswerMoreDataWhenTheBufferIsShort
[[ -f $KIT/run.cmd ]] || { echo "kit-tests: $KIT is missing; make kit" >&2; exit 2; }
rm -rf "$WORK" && mkdir -p "$WORK"

export ZELK_WINE_ROOT=${ZELK_WINE_ROOT:-$repo/build/wine}
# shellcheck source=wine-env.sh
source "$repo/scripts/wine-env.sh"
trap wine_cleanup EXIT
wine_ensure_template
wine_copy_prefix kit-tests
ZELK_WINE_PREFIXES+=("$(wine_prefix kit-tests)")
prefix=$(wine_prefix kit-tests)
kit=$prefix/drive_c/kit
cp -R "$KIT" "$kit"

results=()
failed=0
yes_if() {
    "$@" && echo yes || echo no
}
# kit SCRIPT ARGUMENTS...: the script under Wine's cmd from the kit's folder; its output in
# $WORK/out.txt, its exit code in $status.
kit() {
    status=0
    (cd "$kit" && wine_run "$prefix" 600 env GTEST_FILTER=$CASE wine cmd /c "C:\\kit\\$1" "${@:2}" \
        </dev/null >"$WORK/out.txt" 2>&1) || status=$?
    tr -d '\r' <"$WORK/out.txt" >"$WORK/out.lf" && mv "$WORK/out.lf" "$WORK/out.txt"
    sed 's/^/    /' "$WORK/out.txt"
}

echo "kit: prepare.cmd"
kit prepare.cmd
facts=$(tr -d '\r' <"$kit/machine-facts.txt" 2>/dev/null)
check PrepareRecordsFacts "$(yes_if test "$status" -eq 2 && grep -qx 'code_page=1252' <<<"$facts" &&
    grep -qx 'test_root=installed' <<<"$facts" && grep -q '^test_root_valid=' <<<"$facts" &&
    grep -q 'cleanup.cmd' "$WORK/out.txt")" \
    "exit code $status, or machine-facts.txt lacks a fact, or no word of cleanup.cmd"
printf 'code_page=1252\r\n' >"$kit/machine-facts.txt"

# Each refused call: its case name, then the arguments.
refused=("Command|x&echo hi" "Path|..\\x" "Quote|x\"&echo hi" "Two|main|extra" "None|")
for script in run.cmd collect.cmd; do
    for entry in "${refused[@]}"; do
        IFS='|' read -ra arguments <<<"$entry"
        echo "kit: $script ${arguments[*]:1}"
        kit "$script" "${arguments[@]:1}"
        check "Refuses${arguments[0]}_${script%.cmd}" "$(yes_if test "$status" -eq 2 &&
            grep -q '^usage: ' "$WORK/out.txt" && ! grep -qx 'hi' "$WORK/out.txt")" \
            "exit code $status, or no usage, or the command ran"
    done
done

echo "kit: run.cmd checks"
kit run.cmd checks
check RunPasses "$(yes_if test "$status" -eq 0 && grep -q '^run: every program passed' "$WORK/out.txt")" \
    "run.cmd checks exited with $status with both programs passing"
rm "$kit/conformance_session.msi"
echo "kit: run.cmd checks, a conformance case failing"
kit run.cmd checks
check RunFailsWithACase "$(yes_if test "$status" -eq 1 &&
    grep -q '^run: FAILED: conformance (exit code 1)' "$WORK/out.txt")" \
    "run.cmd checks exited with $status, or did not name the conformance suite"
check RunKeepsTheConsole "$(yes_if grep -q "FAILED  \] $CASE" "$kit/results/conformance.txt")" \
    "results\\conformance.txt does not hold the failed case"

echo "kit: collect.cmd checks"
kit collect.cmd checks
stage=$(find "$prefix/drive_c/users" -maxdepth 3 -type d -name 'zelk-results-checks-*' | head -1)
check CollectStagesTheConsole "$(yes_if test -n "$stage" -a -f "$stage/conformance.txt" \
    -a -f "$stage/conformance.xml" -a -f "$stage/machine-facts.txt")" \
    "the stage ${stage:-(none)} lacks the console output, a report or the facts"
zips=$(compgen -G "$kit/zelk-results-*.zip")
check CollectKeepsFilesWithoutZip "$(yes_if test "$status" -eq 1 -a -z "$zips" &&
    grep -q '^collect: .*the files are in ' "$WORK/out.txt")" \
    "collect.cmd exited with $status without a zip, or did not say where the files are"

[[ -z $report ]] || write_test_report "$report" Kit "${results[@]}"
echo "kit: $((${#results[@]} - failed)) of ${#results[@]} checks passed"
((failed == 0))
