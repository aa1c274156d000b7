#!/usr/bin/env bash
# Adds up the GoogleTest-style XML reports of `make test`, one line per layer, the seconds of
# each step (REPORTS_DIR/seconds.txt, from run-layers.sh) and a closing
# "test: N passed, N failed" line. A layer without a report did not build or stopped early.
#
# usage: test-summary.sh [--layers "NAME..."] REPORTS_DIR [STATUS]
#   --layers  the layers expected (default: every layer of `make test`)
#   STATUS    the exit status of the layer runs
set -uo pipefail

LAYERS=(host winsim fuzz audit wine conf-host conf-wine e2e checker cube try clang lint release
    windows-mode)
if [[ ${1:-} == --layers ]]; then
    read -ra LAYERS <<<"${2:?--layers needs a list}"
    shift 2
fi
readonly LAYERS
reports=${1:?usage: test-summary.sh [--layers "NAME..."] REPORTS_DIR [STATUS]}
status=${2:-0}
# The layers each step of run-layers.sh reports, for the time table.
declare -rA STEP_LAYERS=([test-host]="host, winsim" [test-fuzz]=fuzz
    [audit]=audit [test-wine]=wine [test-conformance]="conf-host, conf-wine" [test-e2e]=e2e
    [test-checker]="checker, cube" [test-try]=try [audit-clang]=clang [test-wine-clang]=clang
    [lint]=lint [test-release]=release [test-windows-mode]=windows-mode [build]="every tree the layers test" [wall]="the whole run")

# attribute NAME TEXT: the sum of NAME="n" over the elements in TEXT.
attribute_sum() {
    grep -o "$1=\"[0-9]*\"" <<<"$2" | grep -o '[0-9]*' | awk '{ s += $1 } END { print s + 0 }'
}

total_passed=0 total_failed=0 total_skipped=0
echo
echo "== test summary =="
for layer in "${LAYERS[@]}"; do
    shopt -s nullglob
    files=("$reports/$layer"[.]xml "$reports/$layer"-*.xml)
    shopt -u nullglob
    if ((${#files[@]} == 0)); then
        printf '  %-12s no report: it did not build, or stopped before its end (see above)\n' "$layer"
        total_failed=$((total_failed + 1))
        continue
    fi
    tops=$(grep -ho '<testsuites [^>]*>' "${files[@]}")
    suites=$(grep -ho '<testsuite [^>]*>' "${files[@]}")
    tests=$(attribute_sum tests "$tops")
    failed=$(($(attribute_sum failures "$tops") + $(attribute_sum errors "$tops")))
    skipped=$(($(attribute_sum disabled "$tops") + $(attribute_sum skipped "$suites")))
    passed=$((tests - failed - skipped))
    printf '  %-12s %d passed, %d failed%s\n' "$layer" "$passed" "$failed" \
        "$( ((skipped)) && echo ", $skipped skipped")"
    total_passed=$((total_passed + passed))
    total_failed=$((total_failed + failed))
    total_skipped=$((total_skipped + skipped))
done

# The conformance suite marks each known Wine difference, and each Windows answer no evidence
# settles, with a property of its case. A case is unconfirmed if any of its Windows answers is,
# marked if Wine differs somewhere in it, confirmed otherwise; counted on the host, where all run.
if [[ " ${LAYERS[*]} " == *" conf-host "* ]]; then
    shopt -s nullglob
    marks=$(cat "$reports"/conf-wine-*.xml /dev/null | grep -o 'property name="wine_difference:[^"]*"' |
        sort -u | wc -l)
    read -r confirmed marked unconfirmed < <(cat "$reports"/conf-host.xml /dev/null | awk '
        /<testcase / { open = 1; kind = "confirmed" }
        open && /property name="wine_difference:/ && kind == "confirmed" { kind = "marked" }
        open && /property name="unconfirmed:/ { kind = "unconfirmed" }
        open && (/<testcase [^>]*\/>/ || /<\/testcase>/) { count[kind]++; open = 0 }
        END { print count["confirmed"] + 0, count["marked"] + 0, count["unconfirmed"] + 0 }')
    # Every unconfirmed answer counts, also where one case holds several, and by the evidence
    # short of a Windows test it has: indirect, conflicting or none.
    answers_with() {
        cat "$reports"/conf-host.xml /dev/null 2>/dev/null |
            grep -o "property name=\"$1:[^\"]*\"" | sed 's/.*://' | sort -u | wc -l
    }
    unconfirmed_answers=$(answers_with unconfirmed)
    indirect=$(answers_with evidence_indirect)
    conflicting=$(answers_with evidence_conflicting)
    shopt -u nullglob
    printf '  %-12s %d marked Wine differences, each with the Windows answer beside it\n' conf "$marks"
    printf '  %-12s cases: %d confirmed, %d marked, %d unconfirmed (their Windows answer rests on no test)\n' \
        conf "$confirmed" "$marked" "$unconfirmed"
    printf '  %-12s %d unconfirmed Windows answers in those cases: %d with indirect evidence, %d with conflicting evidence, %d with none\n' \
        conf "$unconfirmed_answers" "$indirect" "$conflicting" \
        "$((unconfirmed_answers - indirect - conflicting))"
fi

# The windows-mode layer's cases note each Windows branch they took under Wine, and each one
# Wine cannot serve.
if [[ " ${LAYERS[*]} " == *" windows-mode "* ]]; then
    shopt -s nullglob
    windows_files=("$reports"/windows-mode-*.xml /dev/null)
    shopt -u nullglob
    printf '  %-12s %d Windows branches ran under Wine, %d that Wine cannot serve said why\n' \
        windows "$(cat "${windows_files[@]}" | grep -c 'property name="windows_branch:')" \
        "$(cat "${windows_files[@]}" | grep -c 'property name="wine_cannot:')"
fi

# Slowest first, so that the step worth speeding up heads the table; the whole run last (with
# two lanes it is less than the sum).
if [[ -f $reports/seconds.txt ]]; then
    echo "== seconds by step =="
    { grep -v '^wall ' "$reports/seconds.txt" | sort -k2,2nr; grep '^wall ' "$reports/seconds.txt"; } |
        while read -r step seconds code; do
        printf '  %-17s %5d s  %s%s\n' "$step" "$seconds" "${STEP_LAYERS[$step]:-}" \
            "$( ((code)) && echo " (exit $code)")"
    done
fi

if ((status != 0 && total_failed == 0)); then
    echo "  a test layer exited with status $status outside its reports"
    total_failed=1
fi
echo "test: $total_passed passed, $total_failed failed$( ((total_skipped)) && echo ", $total_skipped skipped")"
((total_failed == 0))
