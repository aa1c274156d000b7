#!/usr/bin/env bash
# Tries an installer package that calls zelk_ca.dll under Wine, in a private Wine prefix (a
# full copy of the template under build/wine, sharing no file with it; never ~/.wine), and
# reports run by run what the DLL's custom actions did.
#
# usage: try-package.sh PACKAGE.msi [--upgrade-from OLD.msi] [--repair] [--norestart] [--keep DIR]
#   --upgrade-from OLD.msi  installs OLD.msi first, so that PACKAGE.msi upgrades it
#   --repair                repairs PACKAGE.msi after installing it
#   --norestart             passes REBOOT=ReallySuppress: Wine's msiexec ignores /norestart,
#                           and the property has the same effect
#   --keep DIR              makes the prefix in DIR (which must not exist yet) and keeps it; the
#                           verbose logs are then in DIR/drive_c/zelk-try/*.log
#
# The runs: [OLD.msi installed], PACKAGE.msi installed, [repaired], then removed, each in its own
# section: the command line, msiexec's full exit code (a shell would see only its low byte, so
# a Windows program runs msiexec and prints it), each custom action of the package that calls
# one of the DLL's nine entries with its result (1 ran and succeeded, "failed (returned N)"
# with ", ignored" for a failure the installer ignores, "- (scheduled, not run)" for a rollback
# or commit action only recorded, "-" did not run; a deferred action's result is that of its run from the script, never the
# "Return value" the log writes when it is scheduled), REBOOT as the log's property dump ends,
# the certificate utility's command line, the install-state values seen during the run (signed,
# with their texts), what changed on the machine (devices, kernel driver services, install-state
# values and the driver packages staged in the INF folder) and, after an upgrade, whether the
# older version was removed. A run that fails ends the tries.
#
# A "fault:" line names what a run left wrong although msiexec may have reported success, read
# at once and again 10 s later ("after 10 s:"), once the machine has settled: a driver action
# that recorded a negative outcome, a driver package the package gives that is not staged in
# the INF folder, a root device it creates that is missing or off its running service, a
# kernel service it installs that is not running, a service of either marked for deletion,
# after an upgrade a feature the older version had installed and the new one has not, or,
# after the removal, a device or service that remains. newdev.dll and certutil.exe in the
# system folder are the test stand-ins (Wine's newdev cannot update a driver, and the
# certificate utility is recorded, not run).
#
# Exit status: 0 when every run ended as an installation should (0, or 3010 and 1641, which
# ask for a restart) and no fault was found, 1 when one did not or a fault was found, 2 when
# nothing could be tried. --help prints this text.
# Needs `make` first: the Windows side is dist/try/ (ZELK_TRY_DIR names another folder).
# The prefix is a full copy of the template, since the package may install a file over one of
# Wine's own. ZELK_TRY_SHARED=1 shares Wine's images with the template instead, as the test
# runs do, for the project's own sample packages in its test layer: a run that writes through
# to one still fails.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
tools=${ZELK_TRY_DIR:-$repo/dist/try}
readonly RUN_SECONDS=${ZELK_TRY_TIMEOUT:-1800}
readonly FOLDER='C:\zelk-try'

usage() {
    echo "usage: try-package.sh PACKAGE.msi [--upgrade-from OLD.msi] [--repair] [--norestart] [--keep DIR]" >&2
    exit 2
}

package='' old='' keep='' options=()
while (($#)); do
    case $1 in
        --upgrade-from) (($# > 1)) || usage; old=$2; shift ;;
        --repair | --norestart) options+=("$1") ;;
        --keep) (($# > 1)) || usage; keep=$2; shift ;;
        -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        -*) usage ;;
        *) [[ -z $package ]] || usage; package=$1 ;;
    esac
    shift
done
[[ -n $package ]] || usage
for file in "$package" ${old:+"$old"}; do
    [[ -f $file ]] || { echo "try-package: $file does not exist" >&2; exit 2; }
done
for file in try_package.exe newdev.dll record_args.exe; do
    [[ -f $tools/$file ]] || { echo "try-package: $tools/$file is missing; run make" >&2; exit 2; }
done

# Never over an existing prefix, ~/.wine least of all.
if [[ -n $keep && -e $keep ]]; then
    echo "try-package: $keep exists; --keep needs a new folder" >&2
    exit 2
fi

# The Windows name of a Linux file: Wine's drive Z: is the root.
windows_path() {
    local path
    path=$(realpath -m "$1")
    echo "Z:${path//\//\\}"
}

export ZELK_WINE_ROOT=${ZELK_WINE_ROOT:-$repo/build/wine}
# shellcheck source=wine-env.sh
source "$repo/scripts/wine-env.sh"
wine_ensure_template

if [[ -n $keep ]]; then
    prefix=$(realpath -m "$keep")
    mkdir -p "$(dirname "$prefix")"
    cp -a "$ZELK_WINE_TEMPLATE" "$prefix"
    rm -f "$prefix/.complete"
    trap 'wine_stop "$prefix"' EXIT
else
    trap wine_cleanup EXIT
    if [[ ${ZELK_TRY_SHARED:-0} == 1 ]]; then
        wine_copy_prefix "try-$$"
    else
        wine_copy_prefix --private "try-$$"
    fi
    prefix=$(wine_prefix "try-$$")
fi

folder=$prefix/drive_c/zelk-try
mkdir -p "$folder"
cp "$tools/try_package.exe" "$tools/newdev.dll" "$tools/record_args.exe" "$folder/"

# The environment of the end-to-end machines: the stand-ins loaded, Wine's installer errors
# printed to stderr, where the program reads them.
environment=$(awk '$1 == "main" { $1 = $2 = $3 = ""; print }' "$repo/tests/e2e/groups.txt")
variables=()
for word in $environment; do
    if [[ $word == WINEDLLOVERRIDES=* ]]; then
        word="WINEDLLOVERRIDES=$ZELK_WINE_DLL_OVERRIDES;${word#*=}"
    fi
    variables+=("$word")
done

arguments=("$(windows_path "$package")" "${options[@]}")
[[ -z $old ]] || arguments+=(--upgrade-from "$(windows_path "$old")")
status=0
wine_run "$prefix" "$RUN_SECONDS" env LC_ALL=en_US.UTF-8 "${variables[@]}" \
    wine "$FOLDER\\try_package.exe" "${arguments[@]}" </dev/null 2>"$folder/wine.stderr" |
    tr -d '\r' || status=$?
if ((status == 124 || status == 137)); then
    echo "try-package: the runs did not end within $RUN_SECONDS s" >&2
fi
[[ -z $keep ]] || echo "try-package: the prefix is kept in $prefix; the logs are in $folder"
exit "$status"
