#!/usr/bin/env bash
# Signs a release in place: zelk_ca.dll and zelk_ca_check.exe first, then the signed DLL goes
# into the Binary table of every package beside them in place of the unsigned one, and the
# packages are signed last (a package's signature covers its Binary table). Each signature is
# verified with osslsigncode.
#
# The certificate comes from the environment:
#   ZELK_SIGN_CERT, ZELK_SIGN_KEY     PEM certificate (with its chain) and private key;
#                                     ZELK_SIGN_PASSWORD if the key is encrypted
#   ZELK_SIGN_PKCS12                  or a PKCS#12 file, with ZELK_SIGN_PASSWORD
#   ZELK_SIGN_TIMESTAMP               optional: URL of an RFC 3161 time-stamp server
#   ZELK_SIGN_CA                      optional: the CA certificates to verify against
#                                     (default: the system's)
#
# usage: sign.sh [--dist DIR]    signs DIR (default dist/)
#        sign.sh --status        says whether a certificate is configured
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
dist=$repo/dist
case ${1:-} in
    --status)
        if [[ -n ${ZELK_SIGN_CERT:-}${ZELK_SIGN_PKCS12:-} ]]; then
            echo "sign: certificate configured; make sign signs dist/"
        else
            echo "sign: dist/ is unsigned (no ZELK_SIGN_CERT and ZELK_SIGN_KEY, or" \
                "ZELK_SIGN_PKCS12, set; see README.md, Releases)"
        fi
        exit 0 ;;
    --dist) dist=${2:?--dist needs a folder} ;;
    "") ;;
    *) echo "usage: sign.sh [--dist DIR] | --status" >&2; exit 2 ;;
esac

readonly DLL=$dist/zelk_ca.dll
readonly CHECKER=$dist/zelk_ca_check.exe

fail() {
    echo "sign: $*" >&2
    exit 1
}

certificate=()
if [[ -n ${ZELK_SIGN_PKCS12:-} ]]; then
    certificate=(-pkcs12 "$ZELK_SIGN_PKCS12" -pass "${ZELK_SIGN_PASSWORD:-}")
elif [[ -n ${ZELK_SIGN_CERT:-} ]]; then
    [[ -n ${ZELK_SIGN_KEY:-} ]] || fail "ZELK_SIGN_CERT needs ZELK_SIGN_KEY"
    certificate=(-certs "$ZELK_SIGN_CERT" -key "$ZELK_SIGN_KEY")
    [[ -z ${ZELK_SIGN_PASSWORD:-} ]] || certificate+=(-pass "$ZELK_SIGN_PASSWORD")
else
    fail "no certificate: set ZELK_SIGN_CERT and ZELK_SIGN_KEY, or ZELK_SIGN_PKCS12"
fi
timestamp=()
[[ -z ${ZELK_SIGN_TIMESTAMP:-} ]] || timestamp=(-ts "$ZELK_SIGN_TIMESTAMP")
verify_ca=()
[[ -z ${ZELK_SIGN_CA:-} ]] || verify_ca=(-CAfile "$ZELK_SIGN_CA")

for file in "$DLL" "$CHECKER"; do
    [[ -f $file ]] || fail "$file is missing; run make dist first"
done
packages=("$dist"/*.msi)
[[ -f ${packages[0]} ]] || packages=()

# sign FILE DESCRIPTION: replaces FILE by its signed copy.
sign() {
    local file=$1 description=$2
    osslsigncode sign "${certificate[@]}" "${timestamp[@]}" -h sha256 -n "$description" \
        -in "$file" -out "$file.signed" >/dev/null || fail "signing $file failed"
    mv "$file.signed" "$file"
}

verify() {
    osslsigncode verify "${verify_ca[@]}" -in "$1" >"$1.verify.log" 2>&1 ||
        fail "$1 does not verify; see $1.verify.log"
    rm -f "$1.verify.log"
    echo "sign: $1 signed and verified"
}

# The Binary table's row names. Exporting a table also writes its streams into the current
# folder, hence the scratch folder.
binary_names() {
    local package scratch
    package=$(realpath "$1")
    scratch=$(mktemp -d)
    (cd "$scratch" && msiinfo export "$package" Binary) | tr -d '\r' | tail -n +4 | cut -f1
    rm -rf "$scratch"
}

# put_signed_dll PACKAGE UNSIGNED_SHA256: every Binary row holding the unsigned DLL gets the
# signed one.
put_signed_dll() {
    local package=$1 unsigned=$2 name replaced=0
    while read -r name; do
        if [[ $(msiinfo extract "$package" "Binary.$name" | sha256sum | cut -d' ' -f1) == "$unsigned" ]]; then
            msibuild "$package" -a "Binary.$name" "$DLL" || fail "updating $package failed"
            replaced=$((replaced + 1))
        fi
    done < <(binary_names "$package")
    ((replaced > 0)) || fail "$package holds no copy of $DLL"
}

unsigned_dll=$(sha256sum "$DLL" | cut -d' ' -f1)
sign "$DLL" "zelk_ca custom actions"
sign "$CHECKER" "zelk_ca_check"
for package in "${packages[@]}"; do
    put_signed_dll "$package" "$unsigned_dll"
    sign "$package" "$(basename "$package" .msi)"
done
for file in "$DLL" "$CHECKER" "${packages[@]}"; do
    verify "$file"
done
