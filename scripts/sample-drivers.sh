#!/usr/bin/env bash
# Lays out the sample's signed driver packages in OUT, as the sample package's PackageDir:
#   drivers/      each INF of INF_DIR, its kernel image signed (Authenticode), and its catalog
#                 (the INF's CatalogFile) holding the hashes of both, signed
#   kernel/       the kernel-service image, signed (it has no INF: CA_InstallNonePnPDriver registers
#                 it in the system's drivers folder, so unlike the INFs' images it cannot run from
#                 the driver store)
#   certificate/  zelk_publisher.cer: the code-signing certificate that signed all of them
#   test-root.cer the test root that issued it, for the Root store of a test machine
# The certificates are a throwaway test pair made on first use in CA_DIR (the signer's key stays
# there, in the build tree; the root's is deleted once it has issued the signer); no real key is
# ever involved. Every signature is verified, and every image
# is looked up in its catalog, before the script ends.
#
# usage: sample-drivers.sh --out OUT --ca CA_DIR --infs INF_DIR --kernel SYS IMAGE.sys...
set -euo pipefail

# Set by main: the test certificates' folder, and a scratch folder removed on exit.
ca=''
work=''

usage() {
    echo "usage: sample-drivers.sh --out OUT --ca CA_DIR --infs INF_DIR --kernel SYS IMAGE..." >&2
    exit 2
}

# Object identifiers of the catalog format (wincrypt.h, mssip.h, wintrust.h).
readonly OID_CTL=1.3.6.1.4.1.311.10.1
readonly OID_CATALOG_LIST=1.3.6.1.4.1.311.12.1.1
readonly OID_CATALOG_MEMBER=1.3.6.1.4.1.311.12.1.2
readonly OID_NAME_VALUE=1.3.6.1.4.1.311.12.2.1
readonly OID_MEMBER_INFO=1.3.6.1.4.1.311.12.2.2
readonly OID_INDIRECT_DATA=1.3.6.1.4.1.311.2.1.4
readonly OID_PE_IMAGE_DATA=1.3.6.1.4.1.311.2.1.15
readonly OID_FLAT_DATA=1.3.6.1.4.1.311.2.1.25
# The subject interface packages that hash a member: PE images, and any other file whole.
readonly SIP_PE='{C689AAB8-8E78-11D0-8C47-00C04FC295EE}'
readonly SIP_FLAT='{DE351A42-8E59-11D0-8C47-00C04FC295EE}'
# A name-value attribute readable by everyone, its value a text (CRYPTCAT_ATTR_* flags).
readonly NAME_VALUE_FLAGS=0x10010001
# The systems the packages are for: Windows 10 and 11 (their INFs run the images from the
# driver store, DIRID 13, from Windows 10 version 1709), as catalog version 2:major.minor.
readonly OS_ATTRIBUTE=2:10.0

fail() {
    echo "sample-drivers: $*" >&2
    exit 1
}

# How long the test certificates are valid, and how much of that a build must find left before
# it reuses them. A Windows test kit is made once per release candidate and run on test machines
# for weeks, and the signatures carry no time stamp, so they stop validating when the signer
# expires: two years of validity, made again once fewer than 180 days remain, gives every kit
# built at least half a year.
readonly CERT_DAYS=730
readonly CERT_MIN_DAYS_LEFT=180

# make_test_ca: the test root and its code-signing certificate in CA_DIR, made again when they
# are missing or the signer has less than CERT_MIN_DAYS_LEFT left. The root can sign nothing
# else: it is constrained to issue end certificates for code signing only (Windows reads a CA
# certificate's extended key usage as a limit on what it issues), and its key is deleted once
# the signer is issued. Only the signer's key stays, in CA_DIR in the build tree.
make_test_ca() {
    # A root key left beside them is from before the root was retired after use: made again.
    if [[ -f $ca/root.pem && -f $ca/signer.pem && -f $ca/signer.key && ! -e $ca/root.key ]] &&
        openssl x509 -checkend $((CERT_MIN_DAYS_LEFT * 86400)) -noout -in "$ca/signer.pem" >/dev/null; then
        return 0
    fi
    mkdir -p "$ca"
    rm -f "$ca"/{root,signer,chain}.* "$ca/root.srl"
    openssl req -x509 -newkey rsa:2048 -nodes -days "$CERT_DAYS" -subj "/CN=Zelk sample test root" \
        -addext "basicConstraints=critical,CA:TRUE,pathlen:0" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" -addext "extendedKeyUsage=codeSigning" \
        -keyout "$ca/root.key" -out "$ca/root.pem" 2>/dev/null
    openssl req -new -newkey rsa:2048 -nodes -subj "/CN=Zelk sample test publisher" \
        -keyout "$ca/signer.key" -out "$ca/signer.csr" 2>/dev/null
    printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
        "extendedKeyUsage=codeSigning" >"$ca/signer.ext"
    openssl x509 -req -in "$ca/signer.csr" -CA "$ca/root.pem" -CAkey "$ca/root.key" \
        -set_serial "0x$(openssl rand -hex 16)" -days "$CERT_DAYS" -extfile "$ca/signer.ext" \
        -out "$ca/signer.pem" 2>/dev/null
    rm -f "$ca/root.key" "$ca/signer.csr" "$ca/signer.ext"
    cat "$ca/signer.pem" "$ca/root.pem" >"$ca/chain.pem"
}

# utf16_hex TEXT: TEXT as UTF-16LE with its terminating NUL, in hex, as the catalog stores
# tags and names.
utf16_hex() {
    printf '%s\0' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -tx1 -v | tr -d ' \n'
}

# last_octet_string DER: the hex of the last OCTET STRING in DER (a DigestInfo's digest).
last_octet_string() {
    openssl asn1parse -inform DER -in "$1" | sed -n 's/.*OCTET STRING *\[HEX DUMP\]://p' | tail -1
}

# member_digest FILE: FILE hashed with SHA-1 as the system hashes it, in upper-case hex: a PE
# image without its checksum and signature (Authenticode, from osslsigncode), anything else
# whole.
member_digest() {
    local file=$1 digest
    if [[ $file == *.sys ]]; then
        rm -f "$work/data.der"
        osslsigncode extract-data -h sha1 -in "$file" -out "$work/data.der" >/dev/null
        digest=$(last_octet_string "$work/data.der")
    else
        digest=$(sha1sum "$file" | cut -d' ' -f1)
    fi
    [[ ${#digest} == 40 ]] || fail "no SHA-1 digest for $file"
    echo "${digest^^}"
}

# member_sections N FILE: the generator sections of catalog member N, FILE and its digest.
member_sections() {
    local n=$1 file=$2 digest sip=$SIP_FLAT
    digest=$(member_digest "$file")
    if [[ $file == *.sys ]]; then
        sip=$SIP_PE
    fi
    cat <<EOF
[m$n]
tag = FORMAT:HEX,OCTETSTRING:$(utf16_hex "$digest")
attributes = SET:m${n}_attributes
[m${n}_attributes]
name = SEQUENCE:m${n}_name
info = SEQUENCE:m${n}_info
indirect = SEQUENCE:m${n}_indirect
[m${n}_name]
type = OID:$OID_NAME_VALUE
values = SET:m${n}_name_values
[m${n}_name_values]
value = SEQUENCE:m${n}_name_value
[m${n}_name_value]
name = BMPSTRING:File
flags = INTEGER:$NAME_VALUE_FLAGS
value = FORMAT:HEX,OCTETSTRING:$(utf16_hex "$(basename "$file")")
[m${n}_info]
type = OID:$OID_MEMBER_INFO
values = SET:m${n}_info_values
[m${n}_info_values]
value = SEQUENCE:m${n}_info_value
[m${n}_info_value]
sip = BMPSTRING:$sip
version = INTEGER:512
[m${n}_indirect]
type = OID:$OID_INDIRECT_DATA
values = SET:m${n}_indirect_values
[m${n}_indirect_values]
value = SEQUENCE:m${n}_indirect_value
[m${n}_indirect_value]
data = SEQUENCE:m${n}_data
digest = SEQUENCE:m${n}_digest
[m${n}_digest]
algorithm = SEQUENCE:sha1
value = FORMAT:HEX,OCTETSTRING:$digest
EOF
    if [[ $file == *.sys ]]; then
        printf '%s\n' "[m${n}_data]" "type = OID:$OID_PE_IMAGE_DATA" "value = SEQUENCE:pe_image"
    else
        printf '%s\n' "[m${n}_data]" "type = OID:$OID_FLAT_DATA" "value = IMPLICIT:2C,SEQUENCE:obsolete"
    fi
}

# catalog_config FILE...: the generator configuration of a catalog listing FILE...
catalog_config() {
    local n
    cat <<EOF
asn1 = SEQUENCE:catalog
[catalog]
type = OID:pkcs7-signedData
content = EXPLICIT:0,SEQUENCE:signed_data
[signed_data]
version = INTEGER:1
digest_algorithms = SET:none
content = SEQUENCE:content
certificates = IMPLICIT:0,SET:none
signers = SET:none
[none]
[content]
type = OID:$OID_CTL
ctl = EXPLICIT:0,SEQUENCE:ctl
[ctl]
usage = SEQUENCE:usage
identifier = FORMAT:HEX,OCTETSTRING:$(openssl rand -hex 16)
updated = UTCTIME:$(date -u +%y%m%d%H%M%SZ)
algorithm = SEQUENCE:member_algorithm
members = SEQUENCE:members
extensions = EXPLICIT:0,SEQUENCE:extensions
[usage]
list = OID:$OID_CATALOG_LIST
[member_algorithm]
type = OID:$OID_CATALOG_MEMBER
parameters = NULL
[sha1]
type = OID:sha1
parameters = NULL
[pe_image]
flags = FORMAT:BITLIST,BITSTRING:0
file = IMPLICIT:0C,SEQUENCE:obsolete_file
[obsolete_file]
link = IMPLICIT:2C,SEQUENCE:obsolete
[obsolete]
text = IMPLICIT:0,BMPSTRING:<<<Obsolete>>>
[extensions]
os = SEQUENCE:os_extension
[os_extension]
type = OID:$OID_NAME_VALUE
value = OCTWRAP,SEQUENCE:os_value
[os_value]
name = BMPSTRING:OSAttr
flags = INTEGER:$NAME_VALUE_FLAGS
value = FORMAT:HEX,OCTETSTRING:$(utf16_hex "$OS_ATTRIBUTE")
[members]
EOF
    for n in $(seq $#); do echo "m$n = SEQUENCE:m$n"; done
    n=0
    for file in "$@"; do
        n=$((n + 1))
        member_sections "$n" "$file"
    done
}

# make_catalog CAT FILE...: CAT, signed, holding the hashes of FILE... in ascending order of
# their tags (the hash as text), the order makecat writes. The generator writes the catalog
# unsigned, as PKCS#7 SignedData without signers; osslsigncode signs it the way it signs any
# catalog, so that the digest covers the list as Windows computes it.
make_catalog() {
    local catalog=$1 file
    shift
    local -a ordered
    mapfile -t ordered < <(for file in "$@"; do
        printf '%s %s\n' "$(member_digest "$file")" "$file"
    done | LC_ALL=C sort | cut -d' ' -f2-)
    catalog_config "${ordered[@]}" >"$work/catalog.cnf"
    openssl asn1parse -genconf "$work/catalog.cnf" -noout -out "$work/unsigned.cat" >/dev/null
    sign_image "$work/unsigned.cat" "$catalog"
}

# sign_image IN OUT: OUT is IN signed with the test publisher (Authenticode, SHA-256).
sign_image() {
    rm -f "$2"
    osslsigncode sign -certs "$ca/chain.pem" -key "$ca/signer.key" -h sha256 \
        -n "Zelk sample driver" -in "$1" -out "$2" >/dev/null || fail "signing $1 failed"
}

verify() {
    osslsigncode verify -CAfile "$ca/root.pem" "$@" >"$work/verify.log" 2>&1 ||
        fail "$* does not verify: $(tail -3 "$work/verify.log")"
}

main() {
    local out='' infs='' kernel='' image name inf catalog
    while (($#)); do
        case $1 in
            --out) out=${2:?}; shift ;;
            --ca) ca=${2:?}; shift ;;
            --infs) infs=${2:?}; shift ;;
            --kernel) kernel=${2:?}; shift ;;
            --*) usage ;;
            *) break ;;
        esac
        shift
    done
    [[ -n $out && -n $ca && -n $infs && -n $kernel && $# -gt 0 ]] || usage

    make_test_ca
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    rm -rf "$out"
    mkdir -p "$out/drivers" "$out/kernel" "$out/certificate"
    openssl x509 -in "$ca/signer.pem" -outform DER -out "$out/certificate/zelk_publisher.cer"
    openssl x509 -in "$ca/root.pem" -outform DER -out "$out/test-root.cer"

    sign_image "$kernel" "$out/kernel/$(basename "$kernel")"
    verify -in "$out/kernel/$(basename "$kernel")"
    for image in "$@"; do
        name=$(basename "$image" .sys)
        inf=$infs/$name.inf
        [[ -f $inf ]] || fail "$image has no INF $inf"
        catalog=$(sed -n 's/^CatalogFile *= *\([^ ;]*\).*/\1/p' "$inf" | tr -d '\r')
        [[ -n $catalog ]] || fail "$inf names no CatalogFile"
        cp "$inf" "$out/drivers/"
        sign_image "$image" "$out/drivers/$name.sys"
        make_catalog "$out/drivers/$catalog" "$out/drivers/$name.inf" "$out/drivers/$name.sys"
        verify -in "$out/drivers/$name.sys"
        verify -in "$out/drivers/$catalog"
        verify -catalog "$out/drivers/$catalog" -in "$out/drivers/$name.sys"
    done
    echo "sample-drivers: $# driver packages and the kernel image signed in $out"
}

# Sourced (scripts/test-sign.sh), it only defines the functions.
[[ ${BASH_SOURCE[0]} != "$0" ]] || main "$@"
