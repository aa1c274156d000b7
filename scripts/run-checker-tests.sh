#!/usr/bin/env bash
# Runs zelk_ca_check.exe under Wine on the sample package and on the broken variants of
# tests/checker/variants.txt, which it builds from the sample with msibuild, and checks that
# the sample checks clean and that each variant adds exactly its expected findings and exit code.
# Then validates the same packages with the cube zelk_ca.cub through the project's validation
# runner (zelk_validate.exe) and checks that the cube reports exactly the checker's findings.
#
# usage: run-checker-tests.sh [--build DIR] [--package FILE] [--report FILE] [--cube-report FILE]
#   --build DIR          the mingw build tree (default build/mingw)
#   --package FILE       the package the variants start from (default: the build's sample package)
#   --report FILE        also write the checker's results as a GoogleTest-style XML report
#   --cube-report FILE   the same for the cube's results
# The variants and the checker's output for each are kept in build/checker.
set -euo pipefail
shopt -u patsub_replacement 2>/dev/null || true

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build/mingw
package=
report=
cube_report=
while (($#)); do
    case $1 in
        --build) build=$2; shift ;;
        --package) package=$2; shift ;;
        --report) report=$2; shift ;;
        --cube-report) cube_report=$2; shift ;;
        *) echo "run-checker-tests: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done
package=${package:-$build/package/zelk_drivers.msi}
readonly CHECKER=$build/tools/checker/zelk_ca_check.exe
readonly CUBE=$build/tools/checker/zelk_ca.cub
readonly VALIDATOR=$build/tests/checker/zelk_validate.exe
readonly VARIANTS=$repo/tests/checker/variants.txt
readonly WORK=$repo/build/checker
readonly FOLDER='C:\zelk-checker'
readonly SEPARATOR=' ;; '
for file in "$package" "$CHECKER" "$CUBE" "$VALIDATOR"; do
    [[ -f "$file" ]] || { echo "run-checker-tests: $file is missing; build the mingw preset" >&2; exit 2; }
done

# --- the sample's actions, for the placeholders -------------------------------------------------

declare -A sequence=() ca_type=() ca_source=() ca_target=()
# msiinfo prints a table tab-separated after three heading lines; fields may be empty.
table_rows() {
    msiinfo export "$package" "$1" | tail -n +4 | tr -d '\r' | tr '\t' '\037'
}
while IFS=$'\037' read -r action _ number _; do
    sequence[$action]=$number
done < <(table_rows InstallExecuteSequence)
while IFS=$'\037' read -r action type source target _; do
    ca_type[$action]=$type ca_source[$action]=$source ca_target[$action]=$target
done < <(table_rows CustomAction)

# action_calling first|second|last|rollback ENTRY: that scheduled DLL action calling ENTRY.
action_calling() {
    local kind=$1 entry=$2 name type rollback
    local -a found=()
    for name in "${!ca_target[@]}"; do
        type=${ca_type[$name]}
        if [[ ${ca_target[$name]} != "$entry" || -z ${sequence[$name]:-} ]] || (((type & 7) != 1)); then
            continue
        fi
        rollback=$(((type & 0x700) == 0x500))
        if [[ $kind == rollback ]]; then
            ((rollback)) || continue
        else
            ((!rollback)) || continue
        fi
        found+=("${sequence[$name]} $name")
    done
    mapfile -t found < <(printf '%s\n' "${found[@]}" | sort -n | cut -d' ' -f2-)
    case $kind in
        second) name=${found[1]:-} ;;
        last) name=${found[-1]:-} ;;
        *) name=${found[0]:-} ;;
    esac
    [[ -n $name ]] && echo "$name"
}

# setter_of ACTION: the Type 51 action scheduled last before ACTION that sets its data.
setter_of() {
    local action=$1 property=CustomActionData best='' name
    [[ -n ${sequence[$action]:-} ]] || return 1
    ((ca_type[$action] & 0x400)) && property=$action
    for name in "${!ca_type[@]}"; do
        if [[ ${ca_source[$name]} != "$property" || -z ${sequence[$name]:-} ]] ||
            (((ca_type[$name] & 63) != 51 || sequence[$name] >= sequence[$action])); then
            continue
        fi
        if [[ -z $best ]] || ((sequence[$name] > sequence[$best])); then
            best=$name
        fi
    done
    [[ -n $best ]] && echo "$best"
}

evaluate() {
    local inner=$1 reference offset=0
    case $inner in
        first:* | second:* | last:* | rollback:*) action_calling "${inner%%:*}" "${inner#*:}" ;;
        set:*) setter_of "${inner#set:}" ;;
        seq:*)
            reference=${inner#seq:}
            if [[ $reference =~ ^(.*)([+-][0-9]+)$ ]]; then
                reference=${BASH_REMATCH[1]} offset=${BASH_REMATCH[2]}
            fi
            [[ -n ${sequence[$reference]:-} ]] && echo $((sequence[$reference] + offset))
            ;;
        *) return 1 ;;
    esac
}

# resolve TEXT: TEXT with its placeholders filled, innermost first; fails when one cannot be.
resolve() {
    local text=$1 inner value
    while [[ $text =~ \{([^{}]*)\} ]]; do
        inner=${BASH_REMATCH[1]}
        value=$(evaluate "$inner") || return 1
        text=${text//"{$inner}"/$value}
    done
    echo "$text"
}

# --- building and checking the variants ---------------------------------------------------------

trim() {
    local text=$1
    text=${text#"${text%%[![:space:]]*}"}
    echo "${text%"${text##*[![:space:]]}"}"
}

# split TEXT: one line per part of TEXT between separators.
split() {
    local text=$1
    while [[ $text == *"$SEPARATOR"* ]]; do
        echo "${text%%"$SEPARATOR"*}"
        text=${text#*"$SEPARATOR"}
    done
    echo "$text"
}

build_variant() {
    local file=$1 change=$2 statement
    rm -f "$file"
    case $change in
        -) cp "$package" "$file" ;;
        !*) printf '%s' "${change#!}" >"$file" ;;
        =missing) ;;
        =empty) msibuild "$file" -s "empty" >/dev/null ;;
        =damaged) head -c 6000 "$package" >"$file" ;;
        *)
            cp "$package" "$file"
            while IFS= read -r statement; do
                msibuild "$file" -q "$statement" || return 1
            done < <(split "$change")
            ;;
    esac
}

names=() changes=() expectations=() skipped=()
while IFS='|' read -r name change expected; do
    name=$(trim "$name")
    [[ -z $name || $name == \#* ]] && continue
    change=$(trim "$change") expected=$(trim "$expected")
    names+=("$name") changes+=("$change") expectations+=("$expected") skipped+=("")
    if ! change=$(resolve "$change") || ! expected=$(resolve "$expected"); then
        skipped[-1]="the sample has no action for a placeholder of this change"
        continue
    fi
    changes[-1]=$change expectations[-1]=$expected
done <"$VARIANTS"

export ZELK_WINE_ROOT=${ZELK_WINE_ROOT:-$repo/build/wine}
# shellcheck source=wine-env.sh
source "$repo/scripts/wine-env.sh"
trap wine_cleanup EXIT
wine_ensure_template
wine_copy_prefix checker
prefix=$(wine_prefix checker)
drive=$prefix/drive_c/zelk-checker
rm -rf "$WORK"
mkdir -p "$WORK" "$drive"
cp "$CHECKER" "$CUBE" "$VALIDATOR" "$drive/"
# One wineserver for all the runs, which saves its start-up on each; wine_cleanup ends it.
WINEPREFIX=$prefix wineserver -p </dev/null >/dev/null 2>&1

# run_checker NAME: the checker on NAME.msi; its output in WORK/NAME.txt, its exit code printed.
# The output goes to a file, not a pipe: the Wine services that the persistent wineserver
# keeps alive would hold a pipe open.
run_checker() {
    local status=0
    wine_run "$prefix" 120 wine "$FOLDER\\zelk_ca_check.exe" "$FOLDER\\$1.msi" </dev/null \
        >"$WORK/$1.raw" 2>&1 || status=$?
    tr -d '\r' <"$WORK/$1.raw" >"$WORK/$1.txt"
    rm -f "$WORK/$1.raw"
    echo "$status"
}

findings() {
    grep -E '^(error|warning): ' "$1" || true
}

# run_validation NAME: the cube on NAME.msi; its messages as the checker's lines in
# WORK/NAME.cube.txt ("failure: ..." for an evaluator that could not check), the runner's exit
# code printed.
run_validation() {
    local status=0 attempt
    # The runner answers 0 or 2; any other code is Wine's: on a freshly made prefix its
    # custom-action server has once failed to start, so such a run goes once more.
    for attempt in 1 2; do
        status=0
        wine_run "$prefix" 120 wine "$FOLDER\\zelk_validate.exe" "$FOLDER\\$1.msi" \
            "$FOLDER\\zelk_ca.cub" </dev/null >"$WORK/$1.cube.raw" 2>&1 || status=$?
        ((status == 0 || status == 2)) && break
    done
    tr -d '\r' <"$WORK/$1.cube.raw" | awk -F '\t' '
        $1 == "ZELKCA01" && $2 == 1 { print "error: " $3 }
        $1 == "ZELKCA01" && $2 == 2 { print "warning: " $3 }
        $1 == "ZELKCA01" && $2 == 0 { print "failure: " $3 }
        $1 ~ /^zelk_validate:/ { print "failure: " $0 }' >"$WORK/$1.cube.txt"
    rm -f "$WORK/$1.cube.raw"
    echo "$status"
}

# cube_verdict NAME STATUS: "" when the cube reported exactly the checker's findings.
cube_verdict() {
    local name=$1 status=$2
    ((status == 0)) || { echo "the validation runner exited with $status: $(head -c 300 "$WORK/$name.cube.txt")"; return; }
    if ! diff -q <(findings "$WORK/$name.txt" | sort) <(sort "$WORK/$name.cube.txt") >/dev/null; then
        echo "the cube's findings differ from the checker's: $(diff <(findings "$WORK/$name.txt" | sort) \
            <(sort "$WORK/$name.cube.txt") | grep '^[<>]' | head -c 400)"
    fi
}

# verdict INDEX STATUS: "" when the variant's findings and exit code are the expected ones,
# otherwise why not.
verdict() {
    local index=$1 status=$2 expected=${expectations[$1]} want=0 line found
    local -a added=() wanted=()
    if [[ ${changes[$index]} == - ]]; then
        mapfile -t added < <(findings "$WORK/variant-$index.txt")
    else
        mapfile -t added < <(findings "$WORK/variant-$index.txt" |
            grep -vxF -f <(findings "$WORK/sample.txt") || true)
    fi
    [[ $expected != - ]] && mapfile -t wanted < <(split "$expected")
    if [[ $expected == exit\ * ]]; then
        # An unreadable package: its code, then fragments of the sentence that says why.
        want=${wanted[0]#exit }
        ((status == want)) || { echo "exit code $status, expected $want"; return; }
        for line in "${wanted[@]:1}"; do
            grep -qF -- "$line" "$WORK/variant-$index.txt" || { echo "missing text: $line"; return; }
        done
        return
    elif [[ $expected == *error:* ]] ||
        # A variant keeps the sample's own errors.
        { [[ ${changes[$index]} != - ]] && grep -q '^error: ' "$WORK/sample.txt"; }; then
        want=1
    fi
    ((status == want)) || { echo "exit code $status, expected $want"; return; }
    for line in "${wanted[@]}"; do
        local severity=${line%%: *} rest=${line#*: }
        local action=${rest%%: *} fragment=${rest#*: }
        found=false
        for finding in "${added[@]}"; do
            [[ $finding == "$severity: $action: "* && $finding == *"$fragment"* ]] && found=true
        done
        $found || { echo "missing finding: $line"; return; }
    done
    if ((${#added[@]} != ${#wanted[@]})); then
        echo "${#added[@]} new finding(s) where ${#wanted[@]} expected: $(printf '%s | ' "${added[@]}")"
    fi
}

xml_escape() {
    local text=$1
    text=${text//&/&amp;} text=${text//</&lt;} text=${text//>/&gt;} text=${text//\"/&quot;}
    echo "$text"
}

results=()
failures=0 skips=0
for index in "${!names[@]}"; do
    [[ -n ${skipped[$index]} ]] && continue
    if ! build_variant "$drive/variant-$index.msi" "${changes[$index]}"; then
        skipped[index]="msibuild could not apply the change"
        continue
    fi
done
# The sample's own findings are the baseline of every variant.
cp "$package" "$drive/sample.msi"
run_checker sample >/dev/null

# write_report FILE SUITE FAILURES SKIPS CASE...: a GoogleTest-style report of the cases.
write_report() {
    local file=$1 suite=$2 failed=$3 skipped=$4
    shift 4
    mkdir -p "$(dirname "$file")"
    {
        echo '<?xml version="1.0" encoding="UTF-8"?>'
        echo "<testsuites tests=\"$#\" failures=\"$failed\" disabled=\"0\" errors=\"0\" name=\"AllTests\">"
        echo "  <testsuite name=\"$suite\" tests=\"$#\" failures=\"$failed\" disabled=\"0\" skipped=\"$skipped\" errors=\"0\">"
        printf '%s\n' "$@"
        echo '  </testsuite>'
        echo '</testsuites>'
    } >"$file"
}

# case_line SUITE NAME [failure|skipped MESSAGE]
case_line() {
    local name
    name=$(xml_escape "$2")
    if (($# == 2)); then
        echo "    <testcase name=\"$name\" classname=\"$1\"/>"
    else
        echo "    <testcase name=\"$name\" classname=\"$1\"><$3 message=\"$(xml_escape "$4")\"/></testcase>"
    fi
}

cube_results=()
cube_failures=0 cube_skips=0
for index in "${!names[@]}"; do
    name=${names[$index]}
    if [[ -n ${skipped[$index]} ]]; then
        skips=$((skips + 1)) cube_skips=$((cube_skips + 1))
        results+=("$(case_line PackageChecker "$name" skipped "${skipped[$index]}")")
        cube_results+=("$(case_line ValidationCube "$name" skipped "${skipped[$index]}")")
        echo "checker: $name: skipped, ${skipped[$index]}"
        continue
    fi
    status=$(run_checker "variant-$index")
    why=$(verdict "$index" "$status")
    if [[ -n $why ]]; then
        failures=$((failures + 1))
        results+=("$(case_line PackageChecker "$name" failure "$why")")
        echo "checker: $name: FAILED: $why (output: $WORK/variant-$index.txt)"
    else
        results+=("$(case_line PackageChecker "$name")")
    fi
    [[ -n $cube_report ]] || continue
    if [[ ${expectations[$index]} == exit\ * ]]; then
        cube_skips=$((cube_skips + 1))
        cube_results+=("$(case_line ValidationCube "$name" skipped "no readable database: a validation tool cannot open it either")")
        continue
    fi
    why=$(cube_verdict "variant-$index" "$(run_validation "variant-$index")")
    if [[ -n $why ]]; then
        cube_failures=$((cube_failures + 1))
        cube_results+=("$(case_line ValidationCube "$name" failure "$why")")
        echo "cube: $name: FAILED: $why (output: $WORK/variant-$index.cube.txt)"
    else
        cube_results+=("$(case_line ValidationCube "$name")")
    fi
done

total=${#names[@]}
echo "checker: $((total - failures - skips)) of $total variants as expected, $failures failed, $skips skipped"
[[ -z $report ]] || write_report "$report" PackageChecker "$failures" "$skips" "${results[@]}"
if [[ -n $cube_report ]]; then
    echo "cube: $((total - cube_failures - cube_skips)) of $total variants with the checker's findings, $cube_failures failed, $cube_skips skipped"
    write_report "$cube_report" ValidationCube "$cube_failures" "$cube_skips" "${cube_results[@]}"
fi
((failures == 0 && cube_failures == 0))
