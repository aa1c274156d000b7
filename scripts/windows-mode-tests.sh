#!/usr/bin/env bash
# The windows-mode layer: the kit's programs with Windows branches (the conformance suite and
# the end-to-end program) under Wine with ZELK_WINDOWS_MODE=1, which only the test programs
# read: they take their Windows branches where Wine can serve them and say, with the reason,
# where it cannot. The runner still lays the stand-ins, and each msiexec log is rewritten in
# UTF-16LE, as Windows writes it, before the program reads it (ZELK_WINDOWS_MODE_LOGS=as-written
# keeps Wine's single bytes). The checker's program takes no branch of its own on Windows. The
# kit's .cmd files run under Wine's cmd too (scripts/kit-tests.sh, report windows-mode-kit.xml).
# Ends with how many Windows branches ran, and how many Wine could not serve.
#
# usage: windows-mode-tests.sh [--reports DIR] [--suite conformance|e2e] [-- GTEST_ARGS...]
#   --reports DIR  where the reports go (windows-mode-conf-GROUP.xml, windows-mode-e2e-GROUP.xml)
#   --suite NAME   run one of the two programs only
set -uo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
reports=$repo/build/windows-mode/reports
suites=(conformance e2e)
gtest_args=()
while (($#)); do
    case $1 in
        --reports) reports=$2; shift ;;
        --suite) suites=("$2"); shift ;;
        --) shift; gtest_args=("$@"); break ;;
        *) echo "windows-mode-tests: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done
mkdir -p "$reports"

export ZELK_WINDOWS_MODE=1
status=0
for suite in "${suites[@]}"; do
    case $suite in
        conformance) prefix=windows-mode-conf ;;
        e2e) prefix=windows-mode-e2e ;;
        *) echo "windows-mode-tests: unknown suite $suite" >&2; exit 2 ;;
    esac
    rm -f "$reports/$prefix"-*.xml
    "$repo/scripts/run-wine-tests.sh" --suite "$suite" --keep "$repo/build/windows-mode/$suite" \
        --reports "$reports" --report-prefix "$prefix" -- "${gtest_args[@]}" || status=1
done

"$repo/scripts/kit-tests.sh" --report "$reports/windows-mode-kit.xml" || status=1

# Each Windows branch a case took is a property of that case; so is each one Wine cannot serve.
shopt -s nullglob
files=("$reports"/windows-mode-*.xml)
shopt -u nullglob
count() {
    cat "${files[@]}" /dev/null | grep -o "property name=\"$1:[^\"]*\"" | wc -l
}
kinds() {
    cat "${files[@]}" /dev/null | grep -o "property name=\"$1:[^\"]*\"" | sort -u | wc -l
}
echo "windows-mode: $(count windows_branch) Windows branches ran under Wine" \
    "($(kinds windows_branch) distinct); $(count wine_cannot) that Wine cannot serve said why" \
    "($(kinds wine_cannot) distinct)"
exit "$status"
