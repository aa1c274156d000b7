#!/usr/bin/env bash
# Static analysis: clang-tidy with the repository's .clang-tidy over every source file of src/
# and of the package checker (tools/checker), compiled as the clang build compiles them (so
# against the real mingw-w64 headers).
# Any finding fails.
#
# usage: lint.sh [--build DIR] [--report FILE]
#   --build DIR    a configured mingw-clang build tree (default build/mingw-clang)
#   --report FILE  a GoogleTest-style XML report, one test case per source file
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=test-report.sh
source "$repo/scripts/test-report.sh"
build=$repo/build/mingw-clang
report=
while (($#)); do
    case $1 in
        --build) build=$2; shift ;;
        --report) report=$2; shift ;;
        *) echo "lint: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done
[[ -f $build/compile_commands.json ]] || {
    echo "lint: $build/compile_commands.json is missing; configure the mingw-clang preset" >&2
    exit 2
}

findings=$(mktemp -d)
trap 'rm -rf "$findings"' EXIT
mapfile -t sources < <(cd "$repo" && find src tools/checker -name '*.cpp' | sort)

# A file that passed is not analysed again while nothing it is analysed from has changed: its
# own text, the project's headers, .clang-tidy, the compile commands and clang-tidy itself.
readonly PASSED=$build/lint-passed
mkdir -p "$PASSED"
common_key=$({
    clang-tidy --version
    cat "$repo/.clang-tidy" "$build/compile_commands.json"
    (cd "$repo" && find src tools tests -name '*.h' -print0 | sort -z | xargs -0 cat)
} | sha256sum | cut -d' ' -f1)
key_of() {
    { echo "$common_key $1"; cat "$repo/$1"; } | sha256sum | cut -d' ' -f1
}
declare -A keys
to_analyse=()
for source in "${sources[@]}"; do
    keys[$source]=$(key_of "$source")
    [[ -f $PASSED/${keys[$source]} ]] || to_analyse+=("$source")
done
echo "lint: ${#to_analyse[@]} of ${#sources[@]} files changed since they last passed"

# One clang-tidy per file, two at a time; each file's findings go to its own log.
((${#to_analyse[@]} == 0)) || printf '%s\n' "${to_analyse[@]}" | (cd "$repo" && xargs -P 2 -I{} sh -c \
    'clang-tidy -p "$1" --quiet "$2" >"$3/$(echo "$2" | tr / _).log" 2>&1; echo $? >"$3/$(echo "$2" | tr / _).rc"' \
    _ "$build" {} "$findings")

failed=0
cases=()
for source in "${sources[@]}"; do
    if [[ -f $PASSED/${keys[$source]} ]]; then
        cases+=("$source|yes|")
        continue
    fi
    log=$findings/$(tr / _ <<<"$source").log
    rc=$(cat "$findings/$(tr / _ <<<"$source").rc")
    if [[ $rc == 0 ]] && ! grep -qE '(warning|error):' "$log"; then
        cases+=("$source|yes|")
        touch "$PASSED/${keys[$source]}"
        continue
    fi
    failed=$((failed + 1))
    echo "lint: $source"
    grep -E '(warning|error):' "$log" | sed "s|$repo/||; s/^/  /" || cat "$log"
    message=$(grep -E '(warning|error):' "$log" | head -1 | sed "s|$repo/||")
    cases+=("$source|no|${message:-clang-tidy exited with $rc}")
done

[[ -z $report ]] || write_test_report "$report" Lint "${cases[@]}"
echo "lint: ${#sources[@]} files, $failed with findings"
((failed == 0))
