# shellcheck shell=bash
# The GoogleTest-style XML report of a layer that a script checks (the DLL audit, the fuzz
# corpus replay, clang-tidy), so that scripts/test-summary.sh counts it like the test programs'.
# Sourced by those scripts.

# write_test_report FILE SUITE ENTRY...: one test case per ENTRY "name|ok|detail", ok being yes
# or no and detail saying why a case failed.
write_test_report() {
    local file=$1 suite=$2 entry name ok detail failed=0
    shift 2
    for entry in "$@"; do
        if [[ $entry == *"|no|"* ]]; then
            failed=$((failed + 1))
        fi
    done
    {
        echo '<?xml version="1.0" encoding="UTF-8"?>'
        echo "<testsuites tests=\"$#\" failures=\"$failed\" disabled=\"0\" errors=\"0\" name=\"$suite\">"
        echo "  <testsuite name=\"$suite\" tests=\"$#\" failures=\"$failed\" disabled=\"0\" skipped=\"0\" errors=\"0\">"
        for entry in "$@"; do
            IFS='|' read -r name ok detail <<<"$entry"
            if [[ $ok == yes ]]; then
                echo "    <testcase name=\"$name\" classname=\"$suite\"/>"
            else
                echo "    <testcase name=\"$name\" classname=\"$suite\"><failure message=\"${detail//[\"<>&]/_}\"/></testcase>"
            fi
        done
        echo "  </testsuite>"
        echo "</testsuites>"
    } >"$file"
}

# check NAME OK [DETAIL]: one case of a script's layer, printed and kept in the caller's
# `results` for write_test_report; a failed one counts in the caller's `failed`.
check() {
    local name=$1 ok=$2 detail=${3:-}
    results+=("$name|$ok|$detail")
    if [[ $ok == yes ]]; then
        echo "  ok    $name"
    else
        failed=$((failed + 1))
        echo "  FAIL  $name: $detail"
    fi
}
