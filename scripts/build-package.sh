#!/usr/bin/env bash
# Builds an installer package from WiX 3 sources with wixl, then sets each custom action's
# type to what its source declares, since wixl writes some of it wrong:
# - Execute="rollback", "commit", "firstSequence", "oncePerProcess" and "secondSequence" come
#   out as immediate actions (no in-script, rollback or commit bits);
# - every action gets the no-impersonation bit, which belongs only on an in-script action
#   whose source says Impersonate="no";
# - HideTarget and TerminalServerAware are dropped;
# - an error action (Error) is not written at all: the include gives wixl a property-setting
#   action with the Error attribute beside it, which becomes an error action (Type 19) here;
# - IncludeMaximum="yes" and MigrateFeatures="yes" of an UpgradeVersion are dropped: its row
#   gets their bits here;
# - Secure="yes" of a Property is dropped: its name is added to SecureCustomProperties here.
# The type is worked out from the action's base type in the built table and the Execute,
# Impersonate, Return, HideTarget and TerminalServerAware of its CustomAction element, so any
# package is built right, whatever its actions are called. An action the sources declare
# that wixl wrote no row for (it drops a DLL installed with the product, FileKey with
# DllEntry, and a program stored in the Binary table, BinaryKey with ExeCommand) fails the
# build, as does any wixl error; the package is written only when the whole build worked.
#
# usage: build-package.sh SOURCE.wxs [SOURCE.wxs ...] [-D NAME=VALUE ...] [-I DIR ...]
#                         [-a x64|x86] [-q] -o PACKAGE.msi
#   -D NAME=VALUE  a preprocessor variable, for example the include's ZelkCaDll, or the
#                  sample's KernelDriver, PackageDir and ProductVersion; a value that is an
#                  absolute path of an existing file or folder is passed relative to the
#                  current folder, the only form wixl finds files by
#   -I DIR         a folder to look for <?include?> files in; the folder that holds
#                  zelk_ca.wxi beside this script (package/) is always searched last
#   -a ARCH        the package's architecture: x64, the default and the only one the include
#                  builds (x86 is refused)
#   -q             quiet: only errors, no line per changed action
#   -o FILE        the package to write (required)
# ZelkCaDll defaults to dist/zelk_ca.dll of the checkout (or zelk_ca.dll of the release archive)
# that holds this script, when that file exists.
# Paths in the sources (Source, SourceFile) are relative to the current folder.
# Exit status: 0 built, 1 the build failed (message on stderr), 2 bad usage.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")

usage() {
    echo "usage: build-package.sh SOURCE.wxs [...] [-D NAME=VALUE ...] [-I DIR ...] [-a ARCH] [-q] -o PACKAGE.msi" >&2
    exit 2
}

fail() {
    echo "build-package: $*" >&2
    exit 1
}

sources=() defines=() includes=() arch=x64 quiet=0 output=
while (($#)); do
    case $1 in
        -D) [[ ${2:-} == *=* ]] || usage; defines+=("$2"); shift ;;
        -D*=*) defines+=("${1#-D}") ;;
        -I) [[ -n ${2:-} ]] || usage; includes+=("$2"); shift ;;
        -a) [[ -n ${2:-} ]] || usage; arch=$2; shift ;;
        -o) [[ -n ${2:-} ]] || usage; output=$2; shift ;;
        -q) quiet=1 ;;
        -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        -*) usage ;;
        *) sources+=("$1") ;;
    esac
    shift
done
if ((${#sources[@]} == 0)) || [[ -z $output ]]; then
    usage
fi
case $arch in
    x64) ;;
    x86) fail "-a x86: zelk_ca.wxi builds 64-bit packages only, since zelk_ca.dll and the drivers it installs are 64-bit; build with -a x64" ;;
    *) fail "-a $arch: not an architecture this script builds; use -a x64" ;;
esac

for tool in wixl msiinfo msibuild; do
    command -v "$tool" >/dev/null ||
        fail "$tool is missing; install the wixl and msitools packages (scripts/bootstrap.sh does)"
done
for source in "${sources[@]}"; do
    [[ -f $source ]] || fail "$source: no such file"
done

# wixl reads files only by paths relative to its working folder.
relative_define() {
    local name=${1%%=*} value=${1#*=}
    if [[ $value == /* && -e $value ]]; then
        value=$(realpath --relative-to=. "$value")
    fi
    echo "$name=$value"
}

# The include reads the architecture, and knows from it that this script builds the package.
wixl_args=(-a "$arch" -D "ZelkPackageArch=$arch")
has_dll=0
for define in "${defines[@]}"; do
    [[ $define == ZelkCaDll=* ]] && has_dll=1
    wixl_args+=(-D "$(relative_define "$define")")
done
# The DLL that make puts in dist/, or the one beside the release archive's scripts/.
for dll in "$root/dist/zelk_ca.dll" "$root/zelk_ca.dll"; do
    if ((!has_dll)) && [[ -f $dll ]]; then
        wixl_args+=(-D "$(relative_define "ZelkCaDll=$dll")")
        has_dll=1
    fi
done
for folder in "${includes[@]}" "$root/package"; do
    wixl_args+=(-I "$folder")
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Each CustomAction element of the preprocessed sources, one per line (wixl -E writes an
# element on one line, its attributes in double quotes).
for source in "${sources[@]}"; do
    wixl -E "${wixl_args[@]}" "$source" >>"$work/source.xml" 2>"$work/wixl.err" ||
        fail "wixl cannot preprocess $source: $(grep -v '^$' "$work/wixl.err" | tail -3)"
done
grep -o '<CustomAction [^>]*>' "$work/source.xml" >"$work/actions" || true
grep -o '<UpgradeVersion [^>]*>' "$work/source.xml" >"$work/upgrades" || true
grep -o '<Property [^>]*>' "$work/source.xml" >"$work/properties" || true

if ! wixl "${wixl_args[@]}" -o "$work/package.msi" "${sources[@]}" 2>"$work/wixl.err"; then
    grep -v -e '^$' -e 'GLib-GObject-WARNING' "$work/wixl.err" >&2 || true
    fail "wixl failed to build $output"
fi

attribute() {
    local element=$1 name=$2
    [[ $element =~ [[:space:]]$name=\"([^\"]*)\" ]] && echo "${BASH_REMATCH[1]}"
    return 0
}

# The type bits the source decides, from the Windows Installer's custom action type options.
readonly CONTINUE=64 ASYNC=128 FIRST_SEQUENCE=256 ONCE_PER_PROCESS=512 CLIENT_REPEAT=768
readonly IN_SCRIPT=1024 ROLLBACK=256 COMMIT=512 NO_IMPERSONATE=2048 HIDE_TARGET=8192
readonly TS_AWARE=16384 ERROR_ACTION=19
readonly DECLARED_BITS=$((CONTINUE | ASYNC | CLIENT_REPEAT | IN_SCRIPT | NO_IMPERSONATE | HIDE_TARGET | TS_AWARE))

# declared_bits ELEMENT: the type bits its attributes ask for, then the same in words.
declared_bits() {
    local element=$1 id execute bits=0 words=()
    id=$(attribute "$element" Id)
    execute=$(attribute "$element" Execute)
    case $execute in
        "" | immediate) words+=(immediate) ;;
        firstSequence) bits=$FIRST_SEQUENCE words+=("first sequence") ;;
        oncePerProcess) bits=$ONCE_PER_PROCESS words+=("once per process") ;;
        secondSequence) bits=$CLIENT_REPEAT words+=("second sequence") ;;
        deferred) bits=$IN_SCRIPT words+=(deferred) ;;
        rollback) bits=$((IN_SCRIPT | ROLLBACK)) words+=(rollback) ;;
        commit) bits=$((IN_SCRIPT | COMMIT)) words+=(commit) ;;
        *) fail "$id: Execute=\"$execute\" is not a WiX value" ;;
    esac
    # Impersonation is a choice only for an action in the script.
    if ((bits & IN_SCRIPT)) && [[ $(attribute "$element" Impersonate) == no ]]; then
        bits=$((bits | NO_IMPERSONATE)) words+=("no impersonation")
    fi
    case $(attribute "$element" Return) in
        "" | check) ;;
        ignore) bits=$((bits | CONTINUE)) words+=("return ignored") ;;
        asyncWait) bits=$((bits | ASYNC)) words+=(asynchronous) ;;
        asyncNoWait) bits=$((bits | ASYNC | CONTINUE)) words+=("asynchronous, not waited for") ;;
        *) fail "$id: Return=\"$(attribute "$element" Return)\" is not a WiX value" ;;
    esac
    if [[ $(attribute "$element" HideTarget) == yes ]]; then
        bits=$((bits | HIDE_TARGET)) words+=("target hidden")
    fi
    if [[ $(attribute "$element" TerminalServerAware) == yes ]]; then
        bits=$((bits | TS_AWARE)) words+=("terminal server aware")
    fi
    local IFS=";"
    echo "$bits ${words[*]}"
}

msiinfo export "$work/package.msi" CustomAction 2>/dev/null | tail -n +4 | cut -f1,2 >"$work/table" || true

statements=() changes=()
while IFS= read -r element; do
    id=$(attribute "$element" Id)
    built=$(awk -F'\t' -v id="$id" '$1 == id { print $2 }' "$work/table")
    if [[ -z $built ]]; then
        grep -e CRITICAL -e 'Unsupported' "$work/wixl.err" >&2 || true
        fail "wixl wrote no CustomAction row for $id (it drops FileKey with DllEntry and BinaryKey with ExeCommand)"
    fi
    declared=$(declared_bits "$element")
    bits=${declared%% *} meaning=${declared#* }
    message=$(attribute "$element" Error)
    if [[ -n $message ]]; then
        [[ $message != *"'"* && $message != *"&"* ]] ||
            fail "$id: an error text with a quote or an entity cannot be written"
        statements+=(-q "UPDATE \`CustomAction\` SET \`Type\` = $((ERROR_ACTION | (bits & CONTINUE))), \`Source\` = '', \`Target\` = '$message' WHERE \`Action\` = '$id'")
        changes+=("build-package: $id: type $built -> $ERROR_ACTION (an error action)")
        continue
    fi
    wanted=$(((built & ~DECLARED_BITS) | bits))
    if ((wanted != built)); then
        statements+=(-q "UPDATE \`CustomAction\` SET \`Type\` = $wanted WHERE \`Action\` = '$id'")
        changes+=("build-package: $id: type $built -> $wanted (${meaning//;/, })")
    fi
done <"$work/actions"

# The bits of an Upgrade row that wixl drops, by the row's property (unique among a package's
# Upgrade rows). The attributes are part of the row's key, so the row is written anew.
readonly MIGRATE_FEATURES=1 VERSION_MAX_INCLUSIVE=512
msiinfo export "$work/package.msi" Upgrade 2>/dev/null | tail -n +4 | tr -d '\r' >"$work/upgrade_table" || true
while IFS= read -r element; do
    bits=0 words=()
    if [[ $(attribute "$element" IncludeMaximum) == yes ]]; then
        bits=$((bits | VERSION_MAX_INCLUSIVE)) words+=("maximum inclusive")
    fi
    if [[ $(attribute "$element" MigrateFeatures) == yes ]]; then
        bits=$((bits | MIGRATE_FEATURES)) words+=("features migrated")
    fi
    ((bits)) || continue
    property=$(attribute "$element" Property)
    IFS='|' read -r code minimum maximum language built remove _ < <(
        awk -F'\t' -v OFS='|' -v p="$property" '$7 == p { $1 = $1; print }' "$work/upgrade_table")
    [[ -n ${built:-} ]] || fail "wixl wrote no Upgrade row for $property"
    (((built & bits) == bits)) && continue
    # msibuild takes no NULL: an empty column is left out.
    columns="\`UpgradeCode\`, \`Attributes\`, \`ActionProperty\`"
    values="'$code', $((built | bits)), '$property'"
    for pair in "VersionMin=$minimum" "VersionMax=$maximum" "Language=$language" "Remove=$remove"; do
        [[ -n ${pair#*=} ]] || continue
        columns+=", \`${pair%%=*}\`" values+=", '${pair#*=}'"
    done
    statements+=(-q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = '$property'"
        -q "INSERT INTO \`Upgrade\` ($columns) VALUES ($values)")
    described=$(printf '%s, ' "${words[@]}")
    changes+=("build-package: Upgrade row $property: ${described%, }")
done <"$work/upgrades"

# Secure properties: those of the sources added to what wixl wrote for the Upgrade rows.
secure=$(msiinfo export "$work/package.msi" Property 2>/dev/null | tr -d '\r' |
    awk -F'\t' '$1 == "SecureCustomProperties" { print $2 }')
written=$secure
while IFS= read -r element; do
    [[ $(attribute "$element" Secure) == yes ]] || continue
    property=$(attribute "$element" Id)
    [[ ";$secure;" == *";$property;"* ]] || secure+=${secure:+;}$property
done <"$work/properties"
if [[ $secure != "$written" ]]; then
    if [[ -n $written ]]; then
        statements+=(-q "UPDATE \`Property\` SET \`Value\` = '$secure' WHERE \`Property\` = 'SecureCustomProperties'")
    else
        statements+=(-q "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('SecureCustomProperties', '$secure')")
    fi
    changes+=("build-package: SecureCustomProperties = $secure")
fi

if ((${#statements[@]})); then
    msibuild "$work/package.msi" "${statements[@]}" || fail "msibuild could not set the action types"
fi
mkdir -p "$(dirname "$output")"
mv "$work/package.msi" "$output"
if ((!quiet)); then
    ((${#changes[@]} == 0)) || printf '%s\n' "${changes[@]}"
    echo "build-package: $output"
fi
