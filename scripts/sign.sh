#!/usr/bin/env bash
# Signs a release in place: zelk_ca.dll and zelk_ca_check.exe first, then the signed DLL goes
# into the Binary table of every package beside them in place of the unsigned one, and the
# packages are signed last (a package's signature covers its Binary table). The validation
# cube's evaluator DLL is signed and put back into the cube's Binary table; the cube itself
# carries no signature (validation tools merge its tables into a copy of the package and check
# none). Each signature is verified with osslsigncode. DIR/SIGNED lists the signed forms
# (sha256sum format); release.sh packs them only while they are unchanged.
#
# The certificate comes from the environment:
#   ZELK_SIGN_CERT, ZELK_SIGN_KEY     PEM certificate (with its chain) and private key
#   ZELK_SIGN_PKCS12                  or a PKCS#12 file
#   ZELK_SIGN_PASSWORD_FILE           the key's or the PKCS#12 file's password, read from this
#                                     file (its first line), or
#   ZELK_SIGN_PASSWORD                from this variable. Never on a command line: the tools
#                                     are told where to read it, so `ps` cannot show it.
#   ZELK_SIGN_TIMESTAMP               URL of an RFC 3161 time-stamp server, usually your
#                                     certificate authority's, e.g. http://timestamp.digicert.com.
#                                     Without one, the signatures stop validating when the
#                                     certificate expires; a warning says so.
#   ZELK_SIGN_CA                      optional: the CA certificates to verify against
#                                     (default: the system's)
#
# usage: sign.sh [--dist DIR]          signs DIR (default dist/)
#        sign.sh --checksums FILE      writes FILE.p7s, a detached CMS signature of FILE (DER),
#                                      and verifies it; it carries no time stamp (openssl has
#                                      none for CMS), so verify it within the certificate's
#                                      validity, or with -attime of the release date
#        sign.sh --status              says whether a certificate is configured
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
dist=$repo/dist
checksums=
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
    --checksums) checksums=${2:?--checksums needs a file} ;;
    "") ;;
    *) echo "usage: sign.sh [--dist DIR] | --checksums FILE | --status" >&2; exit 2 ;;
esac

readonly DLL=$dist/zelk_ca.dll
readonly CHECKER=$dist/zelk_ca_check.exe
readonly CUBE=$dist/zelk_ca.cub

fail() {
    echo "sign: $*" >&2
    exit 1
}

# Where the password is read from: a file, or the environment. osslsigncode reads it from a
# file (-readpass), openssl from either (-passin): never from the command line.
password_file=
openssl_pass=()
if [[ -n ${ZELK_SIGN_PASSWORD_FILE:-} ]]; then
    [[ -r $ZELK_SIGN_PASSWORD_FILE ]] || fail "cannot read ZELK_SIGN_PASSWORD_FILE $ZELK_SIGN_PASSWORD_FILE"
    password_file=$ZELK_SIGN_PASSWORD_FILE
    openssl_pass=(-passin "file:$password_file")
elif [[ -n ${ZELK_SIGN_PASSWORD:-} ]]; then
    export ZELK_SIGN_PASSWORD
    openssl_pass=(-passin env:ZELK_SIGN_PASSWORD)
fi

certificate=()
if [[ -n ${ZELK_SIGN_PKCS12:-} ]]; then
    certificate=(-pkcs12 "$ZELK_SIGN_PKCS12")
elif [[ -n ${ZELK_SIGN_CERT:-} ]]; then
    [[ -n ${ZELK_SIGN_KEY:-} ]] || fail "ZELK_SIGN_CERT needs ZELK_SIGN_KEY"
    certificate=(-certs "$ZELK_SIGN_CERT" -key "$ZELK_SIGN_KEY")
else
    fail "no certificate: set ZELK_SIGN_CERT and ZELK_SIGN_KEY, or ZELK_SIGN_PKCS12"
fi
timestamp=()
if [[ -n ${ZELK_SIGN_TIMESTAMP:-} ]]; then
    timestamp=(-ts "$ZELK_SIGN_TIMESTAMP")
elif [[ -z $checksums ]]; then
    echo "sign: warning: no time-stamp server (ZELK_SIGN_TIMESTAMP): the signatures stop" \
        "validating when the certificate expires" >&2
fi
verify_ca=()
[[ -z ${ZELK_SIGN_CA:-} ]] || verify_ca=(-CAfile "$ZELK_SIGN_CA")

# sign_checksums FILE: FILE.p7s, a detached CMS signature of FILE's bytes with the same
# certificate, then verified. Only certificates go into the scratch folder, never the key.
sign_checksums() {
    local file=$1 scratch signer key chain verified
    [[ -f $file ]] || fail "$file is missing"
    scratch=$(mktemp -d)
    if [[ -n ${ZELK_SIGN_PKCS12:-} ]]; then
        local pass=("${openssl_pass[@]}")
        ((${#pass[@]})) || pass=(-passin pass:)
        signer=$scratch/signer.pem chain=$scratch/chain.pem key=$ZELK_SIGN_PKCS12
        {
            openssl pkcs12 -in "$key" "${pass[@]}" -nokeys -clcerts -out "$signer" &&
                openssl pkcs12 -in "$key" "${pass[@]}" -nokeys -cacerts -out "$chain"
        } || fail "cannot read the certificates of $key"
    else
        # The first certificate signs; the others, the chain, go in beside it.
        signer=$scratch/signer.pem chain=$scratch/chain.pem key=$ZELK_SIGN_KEY
        awk -v signer="$signer" -v chain="$chain" '
            { print > (count == 0 ? signer : chain) }
            /-----END CERTIFICATE-----/ { count++ }' "$ZELK_SIGN_CERT" ||
            fail "cannot read $ZELK_SIGN_CERT"
    fi
    local certfile=()
    ! grep -q 'BEGIN CERTIFICATE' "$chain" 2>/dev/null || certfile=(-certfile "$chain")
    openssl cms -sign -binary -md sha256 -outform DER -in "$file" -signer "$signer" \
        -inkey "$key" "${openssl_pass[@]}" "${certfile[@]}" -out "$file.p7s" ||
        fail "signing $file failed"
    rm -rf "$scratch"
    # A code-signing certificate carries no e-mail purpose: "any" checks the chain alone.
    verified=$(openssl cms -verify -binary -inform DER -in "$file.p7s" -content "$file" \
        -purpose any "${verify_ca[@]}" -out /dev/null 2>&1) || fail "$file.p7s does not verify: $verified"
    echo "sign: $file.p7s signed and verified"
}
if [[ -n $checksums ]]; then
    sign_checksums "$checksums"
    exit 0
fi

for file in "$DLL" "$CHECKER"; do
    [[ -f $file ]] || fail "$file is missing; run make dist first"
done
packages=("$dist"/*.msi)
[[ -f ${packages[0]} ]] || packages=()

# osslsigncode FILE DESCRIPTION OUT: signs FILE into OUT. A password from the environment
# reaches it through a pipe of the shell's own printf, a new one per call.
osslsigncode_sign() {
    local arguments=(sign "${certificate[@]}" "${timestamp[@]}" -h sha256 -n "$2" -in "$1" -out "$3")
    if [[ -n $password_file ]]; then
        osslsigncode "${arguments[@]}" -readpass "$password_file"
    elif [[ -n ${ZELK_SIGN_PASSWORD:-} ]]; then
        osslsigncode "${arguments[@]}" -readpass <(printf '%s' "$ZELK_SIGN_PASSWORD")
    else
        osslsigncode "${arguments[@]}"
    fi
}

# sign FILE DESCRIPTION: replaces FILE by its signed copy.
sign() {
    local file=$1 description=$2
    osslsigncode_sign "$file" "$description" "$file.signed" >/dev/null || fail "signing $file failed"
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

# put_signed PACKAGE UNSIGNED_SHA256 SIGNED: every Binary row holding the unsigned file gets its
# signed copy SIGNED.
put_signed() {
    local package=$1 unsigned=$2 signed=$3 name replaced=0
    while read -r name; do
        if [[ $(msiinfo extract "$package" "Binary.$name" | sha256sum | cut -d' ' -f1) == "$unsigned" ]]; then
            msibuild "$package" -a "Binary.$name" "$signed" || fail "updating $package failed"
            replaced=$((replaced + 1))
        fi
    done < <(binary_names "$package")
    ((replaced > 0)) || fail "$package holds no copy of $signed"
}

# sign_cube_evaluators CUBE: each DLL of the cube's Binary table signed, verified and put back,
# before anything runs it from the cube.
sign_cube_evaluators() {
    local cube=$1 name scratch unsigned
    scratch=$(mktemp -d)
    while read -r name; do
        msiinfo extract "$cube" "Binary.$name" >"$scratch/$name.dll"
        unsigned=$(sha256sum "$scratch/$name.dll" | cut -d' ' -f1)
        sign "$scratch/$name.dll" "zelk_ca validation"
        verify "$scratch/$name.dll" >/dev/null
        put_signed "$cube" "$unsigned" "$scratch/$name.dll"
        echo "sign: $cube: evaluator $name signed and verified"
    done < <(binary_names "$cube")
    rm -rf "$scratch"
}

unsigned_dll=$(sha256sum "$DLL" | cut -d' ' -f1)
sign "$DLL" "zelk_ca custom actions"
sign "$CHECKER" "zelk_ca_check"
for package in "${packages[@]}"; do
    put_signed "$package" "$unsigned_dll" "$DLL"
    sign "$package" "$(basename "$package" .msi)"
done
for file in "$DLL" "$CHECKER" "${packages[@]}"; do
    verify "$file"
done
signed=("$DLL" "$CHECKER" "${packages[@]}")
if [[ -f $CUBE ]]; then
    sign_cube_evaluators "$CUBE"
    signed+=("$CUBE")
fi
(cd "$dist" && sha256sum "${signed[@]##*/}" >SIGNED)
