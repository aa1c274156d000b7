#!/usr/bin/env bash
# Runs zelk_ca_check.exe under Wine on the sample package and on the broken variants of
# tests/checker/variants.txt, which it builds from the sample with msibuild, and checks that
# the sample checks clean and that each variant adds exactly its expected findings and exit code.
#
# usage: run-checker-tests.sh [--build DIR] [--package FILE] [--report FILE]
#   --build DIR     the mingw build tree (default build/mingw)
#   --package FILE  the package the variants start from (default: the build's sample package)
#   --report FILE   also write the results as a GoogleTest-style XML report
# The variants and the checker's output for each are kept in build/checker.
set -euo pipefail
shopt -u patsub_replacement 2>/dev/null || true

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build/mingw
package=
report=
while (($#)); do
    case $1 in
        --build) build=$2; shift ;;
        --package) package=$2; shift ;;
        --report) report=$2; shift ;;
        *) echo "run-checker-tests: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done
package=${package:-$build/package/zelk_drivers.msi}
readonly CHECKER=$build/tools/checker/zelk_ca_check.exe
readonly VARIANTS=$repo/tests/checker/variants.txt
readonly WORK=$repo/build/checker
readonly FOLDER='C:\zelk-checker'
readonly SEPARATOR=' ;; '
for file in "$package" "$CHECKER"; do
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

# action_calling first|last|rollback ENTRY: that scheduled DLL action calling ENTRY.
action_calling() {
    local kind=$1 entry=$2 best='' name type rollback
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
        if [[ -z $best ]] || { [[ $kind == last ]] && ((sequence[$name] > sequence[$best])); } ||
            { [[ $kind != last ]] && ((sequence[$name] < sequence[$best])); }; then
            best=$name
        fi
    done
    [[ -n $best ]] && echo "$best"
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
        first:* | last:* | rollback:*) action_calling "${inner%%:*}" "${inner#*:}" ;;
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
        =*) cp "$(dirname "$package")/${change#=}" "$file" ;;
        !*) printf '%s' "${change#!}" >"$file" ;;
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
cp "$CHECKER" "$drive/"
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

# verdict INDEX STATUS: "" when the variant's findings and exit code are the expected ones,
# otherwise why not.
verdict() {
    local index=$1 status=$2 expected=${expectations[$1]} want=0 line found
    local -a added=() wanted=()
    if [[ ${changes[$index]} == - || ${changes[$index]} == =* ]]; then
        mapfile -t added < <(findings "$WORK/variant-$index.txt")
    else
        mapfile -t added < <(findings "$WORK/variant-$index.txt" |
            grep -vxF -f <(findings "$WORK/sample.txt") || true)
    fi
    [[ $expected != - && $expected != exit\ * ]] && mapfile -t wanted < <(split "$expected")
    if [[ $expected == exit\ * ]]; then
        want=${expected#exit }
    elif [[ $expected == *error:* ]] ||
        # A variant keeps the sample's own errors.
        { [[ ${changes[$index]} != [-=]* ]] && grep -q '^error: ' "$WORK/sample.txt"; }; then
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

for index in "${!names[@]}"; do
    if [[ -n ${skipped[$index]} ]]; then
        skips=$((skips + 1))
        results+=("    <testcase name=\"$(xml_escape "${names[$index]}")\" classname=\"PackageChecker\"><skipped message=\"$(xml_escape "${skipped[$index]}")\"/></testcase>")
        echo "checker: ${names[$index]}: skipped, ${skipped[$index]}"
        continue
    fi
    status=$(run_checker "variant-$index")
    why=$(verdict "$index" "$status")
    if [[ -n $why ]]; then
        failures=$((failures + 1))
        results+=("    <testcase name=\"$(xml_escape "${names[$index]}")\" classname=\"PackageChecker\"><failure message=\"$(xml_escape "$why")\"/></testcase>")
        echo "checker: ${names[$index]}: FAILED: $why (output: $WORK/variant-$index.txt)"
    else
        results+=("    <testcase name=\"$(xml_escape "${names[$index]}")\" classname=\"PackageChecker\"/>")
    fi
done

total=${#names[@]}
echo "checker: $((total - failures - skips)) of $total variants as expected, $failures failed, $skips skipped"
if [[ -n $report ]]; then
    mkdir -p "$(dirname "$report")"
    {
        echo '<?xml version="1.0" encoding="UTF-8"?>'
        echo "<testsuites tests=\"$total\" failures=\"$failures\" disabled=\"0\" errors=\"0\" name=\"AllTests\">"
        echo "  <testsuite name=\"PackageChecker\" tests=\"$total\" failures=\"$failures\" disabled=\"0\" skipped=\"$skips\" errors=\"0\">"
        printf '%s\n' "${results[@]}"
        echo '  </testsuite>'
        echo '</testsuites>'
    } >"$report"
fi
((failures == 0))
