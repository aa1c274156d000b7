#!/usr/bin/env bash
# Test-signs an author's own driver packages as the build signs the sample's, for a try under
# Wine or a test machine with test signing on: each INF's image (the .sys of the INF's own
# name, beside it) signed, and the INF's catalog (its CatalogFile) made over the INF and the
# image and signed, with a throwaway test certificate. An image signed before is signed anew.
# OUT is laid out as the sample is (dist/sample/), so that a package takes its files from it:
#   drivers/      each INF, its image and its catalog
#   kernel/       each --kernel image, signed
#   certificate/  publisher.cer: the certificate that signed them (the include's ZelkCertificate)
#   test-root.cer the test root that issued it, for the Root store of a test machine
# The test pair is made on first use in CA_DIR (default build/test-signing/ of the checkout)
# and kept, so that packages signed at different times share one publisher; no one else can
# sign with it. Never a release signature: sign what you ship with your own certificate.
#
# usage: test-sign.sh --out OUT [--ca CA_DIR] [--kernel IMAGE.sys]... DRIVER.inf...
# Exit status: 0 signed and verified, 1 a file is missing or wrong (message on stderr), 2 bad
# usage. --help prints this text.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
# The catalog and signing machinery of the sample's build, without its main.
# shellcheck source=sample-drivers.sh
source "$repo/scripts/sample-drivers.sh"

fail() {
    echo "test-sign: $*" >&2
    exit 1
}

usage() {
    echo "usage: test-sign.sh --out OUT [--ca CA_DIR] [--kernel IMAGE.sys]... DRIVER.inf..." >&2
    exit 2
}

# unsigned IMAGE: IMAGE without the signature it may carry, in the scratch folder.
unsigned() {
    local copy
    copy=$work/unsigned-$(basename "$1")
    rm -f "$copy"
    osslsigncode remove-signature -in "$1" -out "$copy" >/dev/null 2>&1 || cp "$1" "$copy"
    echo "$copy"
}

# sign_package INF OUT: the INF's image and catalog, signed, beside a copy of it in OUT.
sign_package() {
    local inf=$1 out=$2 name image catalog
    name=$(basename "$inf" .inf)
    image=$(dirname "$inf")/$name.sys
    [[ -f $image ]] || fail "$inf: its image $name.sys is not beside it"
    grep -qi "^[^;]*\\b$name\\.sys\\b" "$inf" || fail "$inf names no $name.sys: name the INF's own image in it"
    catalog=$(sed -n 's/^CatalogFile *= *\([^ ;]*\).*/\1/p' "$inf" | tr -d '\r')
    [[ -n $catalog ]] || fail "$inf names no CatalogFile"
    cp "$inf" "$out/drivers/$name.inf"
    sign_image "$(unsigned "$image")" "$out/drivers/$name.sys"
    make_catalog "$out/drivers/$catalog" "$out/drivers/$name.inf" "$out/drivers/$name.sys"
    verify -in "$out/drivers/$name.sys"
    verify -catalog "$out/drivers/$catalog" -in "$out/drivers/$name.sys"
    echo "test-sign: $out/drivers/$name.inf with $name.sys and $catalog"
}

sign_all() {
    local out='' kernels=() inf kernel
    ca=$repo/build/test-signing
    while (($#)); do
        case $1 in
            --out) [[ -n ${2:-} ]] || usage; out=$2; shift ;;
            --ca) [[ -n ${2:-} ]] || usage; ca=$2; shift ;;
            --kernel) [[ -n ${2:-} ]] || usage; kernels+=("$2"); shift ;;
            -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
            -*) usage ;;
            *) break ;;
        esac
        shift
    done
    [[ -n $out ]] && (($# + ${#kernels[@]} > 0)) || usage
    for inf in "$@" "${kernels[@]}"; do
        [[ -f $inf ]] || fail "$inf: no such file"
    done
    for tool in openssl osslsigncode iconv; do
        command -v "$tool" >/dev/null || fail "$tool is missing (scripts/bootstrap.sh installs it)"
    done

    make_test_ca
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$out/drivers" "$out/kernel" "$out/certificate"
    openssl x509 -in "$ca/signer.pem" -outform DER -out "$out/certificate/publisher.cer"
    openssl x509 -in "$ca/root.pem" -outform DER -out "$out/test-root.cer"
    for kernel in "${kernels[@]}"; do
        sign_image "$(unsigned "$kernel")" "$out/kernel/$(basename "$kernel")"
        verify -in "$out/kernel/$(basename "$kernel")"
    done
    for inf in "$@"; do
        sign_package "$inf" "$out"
    done
}

sign_all "$@"
