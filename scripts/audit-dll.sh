#!/usr/bin/env bash
# Audits the built custom-action DLL from its PE tables: the nine exports at their ordinals,
# imports from system DLLs only (so it loads on a bare Windows), no static import of
# RegDeleteKeyExA, which older systems lack and the DLL looks up at run time instead, and its
# size within the budget (cmake/dll.cmake says what keeps it there). A signed DLL is measured
# without its signature. With the link map, it also checks by name that none of the runtime
# pieces the lean link keeps out came back. It prints the DLL's SHA-256.
#
# usage: audit-dll.sh DLL [--map LINK_MAP] [--report FILE]   (FILE: a GoogleTest-style XML report)
set -euo pipefail
# shellcheck source=test-report.sh
source "$(dirname "$0")/test-report.sh"

readonly USAGE="usage: audit-dll.sh DLL [--map LINK_MAP] [--report FILE]"
dll=${1:?$USAGE}
shift
report=
map=
while (($# > 0)); do
    case $1 in
        --report) report=${2:?--report needs a file}; shift 2 ;;
        --map) map=${2:?--map needs a file}; shift 2 ;;
        *) echo "$USAGE" >&2; exit 2 ;;
    esac
done
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}

readonly EXPORTS=(
    CA_InstallDriver CA_UninstallVirtualDriver CA_ClearInstallDriverRegistryValues
    CA_UninstallLanDriver CA_InstallCertificate CA_UninstallOldZuraOem
    CA_InstallNonePnPDriver CA_UninstallNonePnPDriver CA_CheckAndSetRebootStatus
)
readonly SYSTEM_DLLS="kernel32 advapi32 msi setupapi newdev cfgmgr32 msvcrt user32"
readonly FORBIDDEN_IMPORTS=(RegDeleteKeyExA)
readonly SIZE_BUDGET=65536
# What src/link/lean_runtime.cpp stands in for, as the archive members of the runtime that
# would bring it back: "check name|member".
readonly LEAN_LINK_PIECES=(
    "Demangler|cp-demangle.o"
    "ThrowHelpers|functexcept.o"
    "StringInstantiation|string-inst.o"
    "CopyOnWriteString|cow-string-inst.o"
)

results=()  # "name|ok|detail" per check, written by check
failed=0

if [[ ! -f $dll ]]; then
    echo "audit: $dll does not exist" >&2
    check DllExists no "$dll"
    [[ -n $report ]] && write_test_report "$report" DllAudit "${results[@]}"
    exit 1
fi

tables=$("$objdump" -p "$dll")
# The certificate table (data directory entry 4) is the signature, appended to the file.
signature=$(sed -n 's/^Entry 4 [0-9a-f]* \([0-9a-f]*\) Security Directory.*/\1/p' <<<"$tables")
signature=$((16#${signature:-0}))
size=$(($(stat -c %s "$dll") - signature))
echo "audit: $dll, $size bytes (budget $SIZE_BUDGET)$( ((signature == 0)) || echo ", signature $signature bytes more")"
echo "audit: sha256 $(sha256sum "$dll" | cut -d' ' -f1)"
check SizeWithinBudget "$( ((size <= SIZE_BUDGET)) && echo yes || echo no)" \
    "$size bytes, over the budget of $SIZE_BUDGET by $((size - SIZE_BUDGET))"

# Exports: "[Ordinal/Name Pointer] Table" rows read "[index] name" (binutils 2.40) or
# "[index] +base[ordinal] name"; the ordinal is index + base when no +base is printed.
base=$(sed -n 's/.*Ordinal Base \([0-9]*\).*/\1/p' <<<"$tables")
exported=$(awk -v base="${base:-1}" '
    /^\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
    inside && NF == 0 { inside = 0 }
    inside {
        line = $0
        gsub(/[][]/, " ", line)
        n = split(line, f, " ")
        if (f[2] == "+base") print f[3], f[n]; else print f[1] + base, f[n]
    }' <<<"$tables")
address_count=$(sed -n 's/^\s*Export Address Table\s\+\([0-9a-f]*\)$/\1/p' <<<"$tables" | head -1)
check ExportsExactlyNine "$([[ $((16#${address_count:-0})) == 9 && $(wc -l <<<"$exported") == 9 ]] && echo yes || echo no)" \
    "export table holds $((16#${address_count:-0})) addresses and $(grep -c . <<<"$exported") names"
for i in "${!EXPORTS[@]}"; do
    name=${EXPORTS[$i]}
    ordinal=$((i + 1))
    found=$(awk -v n="$name" '$2 == n { print $1 }' <<<"$exported")
    check "Export_${name}_AtOrdinal$ordinal" "$([[ $found == "$ordinal" ]] && echo yes || echo no)" \
        "found at ordinal ${found:-none}"
done

# Imports: every DLL named in the import tables must be a system DLL.
imports=$(awk '/^The Import Tables/ { inside = 1; next } /^The / { inside = 0 } inside' <<<"$tables")
imported_dlls=$(sed -n 's/^\s*DLL Name: \(.*\)$/\1/p' <<<"$imports")
for imported in $imported_dlls; do
    base_name=${imported%.*}
    base_name=${base_name,,}
    system=no
    [[ " $SYSTEM_DLLS " == *" $base_name "* ]] && system=yes
    check "ImportsSystemDll_$imported" "$system" "$imported is not a system DLL"
done
runtime=$(grep -ioE 'lib(stdc\+\+|gcc|winpthread)[^ ]*' <<<"$imported_dlls" | tr '\n' ' ' || true)
check NoCompilerRuntimeDll "$([[ -z $runtime ]] && echo yes || echo no)" "imports $runtime"
for function in "${FORBIDDEN_IMPORTS[@]}"; do
    check "DoesNotImport_$function" "$(grep -qw "$function" <<<"$imports" && echo no || echo yes)" \
        "$function is imported"
done

# The certificate utility's verb follows a hyphen-minus: any byte above 0x7F there is a lead byte
# in the East Asian code pages and swallows the verb's first letter.
verbs=$(LC_ALL=C grep -aoE '.addstore' "$dll" | LC_ALL=C sort -u | tr -d '\n' || true)
check CertutilVerbAfterHyphenMinus "$([[ $verbs == "-addstore" ]] && echo yes || echo no)" \
    "the DLL spells the verb as \"$(printf '%s' "$verbs" | LC_ALL=C tr -c '[:print:]' '?')\""

# The link map names every archive member the link took.
if [[ -n $map ]]; then
    for piece in "${LEAN_LINK_PIECES[@]}"; do
        name=${piece%%|*}
        member=${piece#*|}
        check "LeanLinkKeepsOut_$name" "$(grep -qF "($member)" "$map" && echo no || echo yes)" \
            "the link took $member back in ($map); see cmake/dll.cmake"
    done
fi

[[ -n $report ]] && write_test_report "$report" DllAudit "${results[@]}"
echo "audit: ${#results[@]} checks, $failed failed"
((failed == 0))
