#!/usr/bin/env bash
# Runs the package checker dist/zelk_ca_check.exe under Wine in a private Wine prefix (a copy
# of the template under build/wine, removed afterwards), so that ~/.wine is never created or
# touched.
#
# usage: check-package.sh PACKAGE.msi [checker options]
#   The options go to the checker as they are; PACKAGE.msi is handed over as its Windows name.
#   ZELK_CHECKER names another checker than dist/zelk_ca_check.exe (in a release archive, the
#   zelk_ca_check.exe beside scripts/).
#
# Exit status: the checker's own (0 no error, 1 at least one error, 2 the package cannot be
# read); 2 as well when the checker itself is missing, does not end in time or crashes.
# --help prints this text.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
checker=${ZELK_CHECKER:-$repo/dist/zelk_ca_check.exe}
[[ -n ${ZELK_CHECKER:-} || -f $checker ]] || checker=$repo/zelk_ca_check.exe
readonly CHECK_SECONDS=${ZELK_CHECK_TIMEOUT:-300}

(($#)) || { echo "usage: check-package.sh PACKAGE.msi [checker options]" >&2; exit 2; }
if [[ $1 == -h || $1 == --help ]]; then
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
fi
[[ -f $checker ]] || { echo "check-package: $checker is missing; run make" >&2; exit 2; }

# The first argument that is no option is the package; Wine's drive Z: is the root.
arguments=() package_seen=false
for argument in "$@"; do
    if ! $package_seen && [[ $argument != -* ]]; then
        path=$(realpath -m "$argument")
        argument="Z:${path//\//\\}"
        package_seen=true
    fi
    arguments+=("$argument")
done

export ZELK_WINE_ROOT=${ZELK_WINE_ROOT:-$repo/build/wine}
# shellcheck source=wine-env.sh
source "$repo/scripts/wine-env.sh"
# The checker's lines are kept to tell its own "errors found" from a crash, which Wine reports
# with an exit status of its own, or 1, without a single finding printed.
output=$(mktemp)
trap 'rm -f "$output"; wine_cleanup' EXIT
wine_ensure_template
wine_copy_prefix "check-$$"

status=0
wine_run "$(wine_prefix "check-$$")" "$CHECK_SECONDS" wine "$checker" "${arguments[@]}" \
    </dev/null | tr -d '\r' | tee "$output" || status=$?
if ((status == 124 || status == 137)); then
    echo "check-package: the checker did not end within $CHECK_SECONDS s" >&2
    status=2
elif ((status > 2)) || { ((status == 1)) && ! grep -q '^error: ' "$output"; }; then
    echo "check-package: the checker crashed (exit status $status); this is a fault of the" \
        "checker, not of the package: please report it with the package" >&2
    status=2
fi
exit "$status"
