#!/usr/bin/env bash
# The release layer, on what `make dist` built:
#  - the version: in both binaries' version resources, in the sample package, from
#    zelk_ca_check --version;
#  - reproducibility: the DLL and the checker built a second time, from a copy of the sources
#    in another folder, are byte-identical to dist/ (that tree is kept: it compiles again what
#    changed since the last run, and links both again every time);
#  - signing with a throwaway code-signing certificate made here (PEM, and PKCS#12): every
#    signature verifies, the packages hold the signed DLL, the cube holds its evaluator signed,
#    the signed DLL passes the audit and the Wine smoke session, the signed package installs
#    under Wine, and a DLL with one byte changed fails verification; no password reaches a
#    command line, from the environment or from a file; a warning names the missing time-stamp
#    server;
#  - the sample's drivers: every image and catalog verifies against the build's test root, each
#    image is in its own package's catalog and a changed one is not, each catalog lists its INF;
#    and a second hand (verify-sample-signing.py, no code shared with the signing tools)
#    computes the INF hashes, the images' Authenticode hashes and every signature again, and
#    refuses a changed image, INF and catalog; the test root is constrained and its key gone;
#  - the audit names a runtime piece the lean link keeps out when a link map shows it;
#  - the release archive: what it must hold, its checksums and their signature (the signer
#    pinned: another certificate of the same authority fails), no private key shipped, the check
#    command run from it; an unsigned archive says so in its name, and nothing is packed when
#    signing was asked for but dist/ is not signed.
# Everything stays in build/release/.
#
# usage: release-tests.sh [--report FILE]   (FILE: a GoogleTest-style XML report)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=test-report.sh
source "$repo/scripts/test-report.sh"
report=
if [[ ${1:-} == --report ]]; then
    report=${2:?--report needs a file}
fi

readonly DIST=$repo/dist
readonly BUILD=$repo/build/mingw
readonly WORK=$repo/build/release
readonly VERSION=$(<"$BUILD/zelk_version.txt")
# The second build's tree stays, like the first's; everything else is made anew.
readonly SECOND=$WORK/second
mkdir -p "$WORK"
find "$WORK" -mindepth 1 -maxdepth 1 ! -name second -exec rm -rf {} +

results=()  # "name|ok|detail" per check, written by check
failed=0

# passes COMMAND...: yes when COMMAND succeeds (its output goes to the layer's log).
passes() {
    "$@" >>"$WORK/commands.log" 2>&1 && echo yes || echo no
}
sha() {
    sha256sum "$1" | cut -d' ' -f1
}

export ZELK_WINE_ROOT=${ZELK_WINE_ROOT:-$repo/build/wine}
# shellcheck source=wine-env.sh
source "$repo/scripts/wine-env.sh"
trap wine_cleanup EXIT
wine_ensure_template

# --- the version ------------------------------------------------------------------------------

# has_version_resource FILE: its version resource names VERSION as file and product version.
has_version_resource() {
    [[ $(x86_64-w64-mingw32-strings -el "$1" | grep -cx "$VERSION") -ge 2 ]]
}
for file in zelk_ca.dll zelk_ca_check.exe; do
    check "VersionResource_$file" "$(has_version_resource "$DIST/$file" && echo yes || echo no)" \
        "$file carries no version resource of $VERSION"
done
product_version=$(msiinfo export "$DIST/zelk_drivers.msi" Property | tr -d '\r' |
    sed -n 's/^ProductVersion\t//p')
check PackageProductVersion "$([[ $product_version == "$VERSION" ]] && echo yes || echo no)" \
    "the sample package has ProductVersion ${product_version:-none}, not $VERSION"
wine_copy_prefix release-version
printed=$(wine_run "$(wine_prefix release-version)" 60 wine "$DIST/zelk_ca_check.exe" --version |
    tr -d '\r' || true)
wine_remove_prefix release-version
check CheckerPrintsVersion "$([[ $printed == "zelk_ca_check $VERSION" ]] && echo yes || echo no)" \
    "zelk_ca_check --version printed \"$printed\""

# --- a second build in another folder ---------------------------------------------------------

echo "release: building the DLL and the checker a second time in $SECOND/build"
# The copy keeps each file's time, so that the tree compiles again just what changed.
rm -rf "$SECOND/source" "$SECOND/build/zelk_ca.dll" "$SECOND/build/tools/checker/zelk_ca_check.exe"
mkdir -p "$SECOND/source"
git -C "$repo" ls-files -co --exclude-standard -z |
    tar -C "$repo" --null -T - -cf - | tar -C "$SECOND/source" -xf -
# The copy has no history of its own: it gets the time stamp the first build took from it.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$repo" log -1 --format=%ct)}
export SOURCE_DATE_EPOCH
{
    cmake -S "$SECOND/source" -B "$SECOND/build" -DCMAKE_BUILD_TYPE=MinSizeRel -DZELK_WINE_TESTS=OFF \
        -DCMAKE_TOOLCHAIN_FILE="$SECOND/source/cmake/mingw-w64-x86_64.cmake" &&
        env -u MAKELEVEL -u MAKEFLAGS -u MFLAGS \
            cmake --build "$SECOND/build" --target zelk_ca zelk_ca_check -j "$(nproc)"
} >"$WORK/second-build.log" 2>&1 || echo "release: the second build failed, see $WORK/second-build.log"
for pair in zelk_ca.dll:zelk_ca.dll zelk_ca_check.exe:tools/checker/zelk_ca_check.exe; do
    first=$DIST/${pair%%:*}
    second=$SECOND/build/${pair#*:}
    echo "release: sha256 $(sha "$first") $first"
    [[ -f $second ]] && echo "release: sha256 $(sha "$second") $second"
    check "Reproducible_${pair%%:*}" "$([[ -f $second && $(sha "$first") == "$(sha "$second")" ]] && echo yes || echo no)" \
        "the second build's ${pair%%:*} differs from dist/ (or is missing)"
done

# --- signing ----------------------------------------------------------------------------------

# A throwaway authority issues the project's signer (cert.pem) and another code-signing
# certificate (other.pem), whose signature the pinned check must refuse.
readonly CERT=$WORK/certificate
mkdir -p "$CERT"
# issue NAME SUBJECT: NAME.pem and its key NAME-key.pem, a code-signing certificate of the CA.
issue() {
    openssl req -new -newkey rsa:2048 -nodes -subj "/CN=$2" -keyout "$CERT/$1-key.pem" \
        -out "$CERT/$1.csr"
    openssl x509 -req -in "$CERT/$1.csr" -CA "$CERT/ca.pem" -CAkey "$CERT/ca-key.pem" \
        -set_serial "0x$(openssl rand -hex 8)" -days 2 -extfile "$CERT/signer.ext" -out "$CERT/$1.pem"
}
{
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Throwaway test authority" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" \
        -keyout "$CERT/ca-key.pem" -out "$CERT/ca.pem"
    printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
        "extendedKeyUsage=codeSigning" >"$CERT/signer.ext"
    issue signer "Throwaway test signer"
    mv "$CERT/signer.pem" "$CERT/cert.pem"
    mv "$CERT/signer-key.pem" "$CERT/key.pem"
    issue other "Another signer of the same authority"
    openssl pkcs12 -export -in "$CERT/cert.pem" -inkey "$CERT/key.pem" -passout pass:throwaway \
        -out "$CERT/cert.p12"
    openssl pkey -in "$CERT/key.pem" -aes256 -passout pass:throwaway -out "$CERT/key-encrypted.pem"
} >>"$WORK/commands.log" 2>&1
printf 'throwaway\n' >"$CERT/password"
export ZELK_SIGN_CA=$CERT/ca.pem

# The signing tools behind wrappers that log every command line, to look for the password.
readonly SPY=$WORK/spy
mkdir -p "$SPY"
for tool in osslsigncode openssl; do
    printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>"%s"\nexec %s "$@"\n' "$SPY/command-lines.log" \
        "$(command -v "$tool")" >"$SPY/$tool"
    chmod +x "$SPY/$tool"
done
spied() {
    env PATH="$SPY:$PATH" "$@"
}

readonly BINARIES=(zelk_ca.dll zelk_ca_check.exe zelk_ca.cub zelk_drivers.msi zelk_minimal.msi)
readonly SIGNED=$WORK/signed
mkdir -p "$SIGNED" "$WORK/signed-p12" "$WORK/signed-pem-password"
for file in "${BINARIES[@]}"; do
    cp "$DIST/$file" "$SIGNED/"
done
cp "$DIST"/{zelk_ca.dll,zelk_ca_check.exe} "$WORK/signed-p12/"
cp "$DIST"/{zelk_ca.dll,zelk_ca_check.exe} "$WORK/signed-pem-password/"
check SignsWithPemCertificate "$(passes env ZELK_SIGN_CERT="$CERT/cert.pem" \
    ZELK_SIGN_KEY="$CERT/key.pem" "$repo/scripts/sign.sh" --dist "$SIGNED")" \
    "sign.sh with a PEM certificate failed or did not verify; see $WORK/commands.log"
check WarnsWithoutTimestampServer "$(grep -q 'warning: no time-stamp server' "$WORK/commands.log" &&
    echo yes || echo no)" "sign.sh without ZELK_SIGN_TIMESTAMP printed no warning"
check SignsWithPkcs12Certificate "$(passes spied env ZELK_SIGN_PKCS12="$CERT/cert.p12" \
    ZELK_SIGN_PASSWORD=throwaway "$repo/scripts/sign.sh" --dist "$WORK/signed-p12")" \
    "sign.sh with a PKCS#12 file failed or did not verify; see $WORK/commands.log"
check SignsWithPasswordFile "$(passes spied env ZELK_SIGN_CERT="$CERT/cert.pem" \
    ZELK_SIGN_KEY="$CERT/key-encrypted.pem" ZELK_SIGN_PASSWORD_FILE="$CERT/password" \
    "$repo/scripts/sign.sh" --dist "$WORK/signed-pem-password")" \
    "sign.sh with an encrypted key and a password file failed; see $WORK/commands.log"
check PasswordNeverOnCommandLine "$([[ -s $SPY/command-lines.log ]] &&
    ! grep -q throwaway "$SPY/command-lines.log" && echo yes || echo no)" \
    "a signing tool's command line held the password (or none was logged): $SPY/command-lines.log"
for package in zelk_drivers.msi zelk_minimal.msi; do
    packaged=$(msiinfo extract "$SIGNED/$package" Binary.ZelkCa | sha256sum | cut -d' ' -f1)
    check "PackageHoldsSignedDll_$package" "$([[ $packaged == "$(sha "$SIGNED/zelk_ca.dll")" ]] &&
        echo yes || echo no)" "the signed $package's Binary table does not hold the signed DLL"
done
msiinfo extract "$SIGNED/zelk_ca.cub" Binary.ZelkCaIce >"$WORK/cube-evaluator.dll"
check CubeEvaluatorSigned "$(passes osslsigncode verify -CAfile "$CERT/ca.pem" \
    -in "$WORK/cube-evaluator.dll")" "the cube's zelk_ca_ice.dll does not verify after signing"
echo "release: signed zelk_ca.dll $(stat -c %s "$SIGNED/zelk_ca.dll") bytes," \
    "unsigned $(stat -c %s "$DIST/zelk_ca.dll")"

cp "$SIGNED/zelk_ca.dll" "$WORK/tampered.dll"
offset=$(($(stat -c %s "$WORK/tampered.dll") / 2))
byte=$(od -An -tu1 -j "$offset" -N1 "$WORK/tampered.dll" | tr -d ' ')
# shellcheck disable=SC2059  # the format is the octal escape of the changed byte
printf "\\$(printf %o $((byte ^ 1)))" |
    dd of="$WORK/tampered.dll" bs=1 seek="$offset" conv=notrunc status=none
tampered_verifies=$(passes osslsigncode verify -CAfile "$CERT/ca.pem" -in "$WORK/tampered.dll")
check TamperedDllFailsVerification "$([[ $tampered_verifies == no ]] && echo yes || echo no)" \
    "a signed DLL with a byte changed still verifies"

check SignedDllPassesAudit "$(passes "$repo/scripts/audit-dll.sh" "$SIGNED/zelk_ca.dll" \
    --map "$BUILD/zelk_ca.map")" "the signed DLL fails the audit; see $WORK/commands.log"
check SignedDllSmokeSession "$(passes "$repo/scripts/run-wine-tests.sh" --smoke \
    --dll "$SIGNED/zelk_ca.dll")" "the smoke session fails with the signed DLL"

# The signed package installs on a fresh machine, with the stand-ins the sample's actions call
# in place of newdev.dll and certutil.exe (as in the end-to-end run).
install_signed_package() {
    local prefix drive code
    wine_copy_prefix release-install
    prefix=$(wine_prefix release-install)
    drive=$prefix/drive_c
    mkdir -p "$drive/zelk-package"
    cp "$SIGNED/zelk_drivers.msi" "$drive/zelk-package/"
    cp "$BUILD/tests/wine/newdev.dll" "$drive/windows/system32/newdev.dll"
    cp "$BUILD/tests/wine/record_args.exe" "$drive/windows/system32/certutil.exe"
    code=0
    (cd "$drive/windows/system32" &&
        wine_run "$prefix" 300 env WINEDLLOVERRIDES="$ZELK_WINE_DLL_OVERRIDES;newdev=n;certutil.exe=n" \
            wine msiexec /i 'C:\zelk-package\zelk_drivers.msi' /qn /norestart \
            /l*v 'C:\zelk-package\install.log' </dev/null) >>"$WORK/commands.log" 2>&1 || code=$?
    cp "$drive/zelk-package/install.log" "$WORK/signed-install.log" 2>/dev/null || true
    wine_remove_prefix release-install
    echo "release: msiexec /i of the signed package exited with $code" >&2
    [[ $code == 0 || $code == 3010 ]]
}
check SignedPackageInstalls "$(install_signed_package && echo yes || echo no)" \
    "msiexec did not install the signed package; see $WORK/signed-install.log"

# --- the sample's signed drivers -------------------------------------------------------------

# Every image and catalog of dist/sample/ verifies against the test root the build made; each
# driver image is a member of its package's catalog and of no other; an image or an INF with one
# byte changed is no longer covered.
readonly SAMPLE=$DIST/sample
openssl x509 -inform DER -in "$SAMPLE/test-root.cer" -out "$WORK/test-root.pem"
in_catalog() {
    osslsigncode verify -CAfile "$WORK/test-root.pem" -catalog "$1" -in "$2" >>"$WORK/commands.log" 2>&1
}
# lists_tag CAT DIGEST: CAT has a member whose tag is DIGEST (hex, as UTF-16LE text with its NUL).
lists_tag() {
    local tag
    tag=$(printf '%s\0' "${2^^}" | iconv -f UTF-8 -t UTF-16LE | od -An -tx1 -v | tr -d ' \n')
    tag=${tag^^}
    openssl asn1parse -inform DER -in "$1" | grep "OCTET STRING *\[HEX DUMP\]:$tag\$" >/dev/null
}
for file in "$SAMPLE"/drivers/*.sys "$SAMPLE"/drivers/*.cat "$SAMPLE"/kernel/*.sys; do
    check "SampleSigned_${file##*/}" "$(passes osslsigncode verify -CAfile "$WORK/test-root.pem" \
        -in "$file")" "$file does not verify against the test root"
done
# A kernel image that links anything beside the kernel, or is no native image, does not load.
# (The kernel-service image calls nothing at all.)
for file in "$SAMPLE"/drivers/*.sys "$SAMPLE"/kernel/*.sys; do
    headers=$(x86_64-w64-mingw32-objdump -p "$file")
    imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr '\n' ' ')
    native=$(grep -c '^Subsystem.*(NT native)' <<<"$headers" || true)
    check "SampleKernelImage_${file##*/}" "$([[ $imports =~ ^(ntoskrnl\.exe )?$ && $native == 1 ]] &&
        echo yes || echo no)" "${file##*/} imports ${imports:-nothing} (native: $native)"
done
# Catalogs as Windows writes them: PKCS#7 version 1, the trust list itself as the content.
for file in "$SAMPLE"/drivers/*.cat; do
    layout=$(openssl asn1parse -inform DER -in "$file" | sed -n '5p;10,12p' | tr -s ' ' |
        sed 's/^ *[0-9]*:d=[0-9]* hl=[0-9]* l= *[0-9]* //' | tr '\n' '|')
    check "SampleCatalogLayout_${file##*/}" \
        "$([[ $layout == "prim: INTEGER :01|cons: SEQUENCE |prim: OBJECT :1.3.6.1.4.1.311.10.1|cons: cont [ 0 ] |" ]] &&
            echo yes || echo no)" "${file##*/} starts \"$layout\", not a version 1 trust list"
done
check SamplePublisherIsTheSigner "$(passes openssl verify -CAfile "$WORK/test-root.pem" \
    -purpose any <(openssl x509 -inform DER -in "$SAMPLE/certificate/zelk_publisher.cer"))" \
    "zelk_publisher.cer is not issued by the test root"
cp "$SAMPLE/drivers/zelk_usb.sys" "$WORK/tampered.sys"
printf '\x5a' | dd of="$WORK/tampered.sys" bs=1 seek=1000 conv=notrunc status=none
for row in "zelk_virtual.cat|drivers/zelk_virtual.sys|yes" "zelk_lan.cat|drivers/zelk_lan.sys|yes" \
    "zelk_usb.cat|drivers/zelk_usb.sys|yes" "zelk_usb.cat|kernel/zelk_testdrv.sys|no" \
    "zelk_usb.cat|$WORK/tampered.sys|no"; do
    IFS='|' read -r catalog image expected <<<"$row"
    [[ $image == /* ]] || image=$SAMPLE/$image
    found=$(in_catalog "$SAMPLE/drivers/$catalog" "$image" && echo yes || echo no)
    check "SampleCatalog_${catalog%.cat}_${image##*/}" "$([[ $found == "$expected" ]] && echo yes || echo no)" \
        "$catalog lists ${image##*/}: $found, expected $expected"
done
# Each INF names its package's catalog, which lists the INF's hash; an INF changed by a byte
# (a line end) is no longer listed.
sed 's/$/\r/' "$SAMPLE/drivers/zelk_usb.inf" >"$WORK/tampered.inf"
for row in "drivers/zelk_virtual.inf|yes" "drivers/zelk_lan.inf|yes" "drivers/zelk_usb.inf|yes" \
    "$WORK/tampered.inf|no"; do
    IFS='|' read -r inf expected <<<"$row"
    [[ $inf == /* ]] || inf=$SAMPLE/$inf
    catalog=$(sed -n 's/^CatalogFile *= *\([^ ;]*\).*/\1/p' "$inf" | tr -d '\r')
    digest=$(sha1sum "$inf" | cut -d' ' -f1)
    listed=$([[ -n $catalog && -f $SAMPLE/drivers/$catalog ]] &&
        lists_tag "$SAMPLE/drivers/$catalog" "$digest" && echo yes || echo no)
    check "SampleCatalogListsInf_${inf##*/}" "$([[ $listed == "$expected" ]] && echo yes || echo no)" \
        "${inf##*/}: catalog \"$catalog\" lists its hash $digest: $listed, expected $expected"
done

# A second hand: the INF hashes, each image's Authenticode hash and every signature computed by
# code of our own (no osslsigncode, no OpenSSL), compared with what the catalogs and signatures
# hold; and the same program refuses a changed image, INF and catalog.
independent() {
    python3 "$repo/scripts/verify-sample-signing.py" --root "$SAMPLE/test-root.cer" "$1" || true
}
while read -r verdict name detail; do
    check "SampleIndependent_${name%:}" "$([[ $verdict == ok ]] && echo yes || echo no)" "$detail"
done < <(independent "$SAMPLE")
rm -rf "$WORK/tampered-sample" && cp -r "$SAMPLE" "$WORK/tampered-sample"
cp "$WORK/tampered.sys" "$WORK/tampered-sample/drivers/zelk_usb.sys"
cp "$WORK/tampered.inf" "$WORK/tampered-sample/drivers/zelk_usb.inf"
# One digit of the trust list's time, which the catalog's signature covers.
tampered_catalog=$WORK/tampered-sample/drivers/zelk_virtual.cat
utctime=$(openssl asn1parse -inform DER -in "$tampered_catalog" |
    sed -n 's/^ *\([0-9]*\):d=[0-9]* *hl=\([0-9]*\).*UTCTIME.*/\1 \2/p' | head -1)
digit=$((${utctime% *} + ${utctime#* } + 1))
byte=$(od -An -tu1 -j "$digit" -N1 "$tampered_catalog" | tr -d ' ')
# shellcheck disable=SC2059  # the format is the octal escape of the changed byte
printf "\\$(printf %o $((byte ^ 1)))" |
    dd of="$tampered_catalog" bs=1 seek="$digit" conv=notrunc status=none
refused=$(independent "$WORK/tampered-sample" | sed -n 's/^FAIL \([^:]*\):.*/\1/p' | sort | tr '\n' ' ')
expected_refusals="CatalogMember_zelk_usb.cat_zelk_usb.inf CatalogMember_zelk_usb.cat_zelk_usb.sys "
expected_refusals+="CatalogSignature_zelk_virtual.cat ImageHash_zelk_usb.sys "
check SampleIndependentRefusesChanges "$([[ $refused == "$expected_refusals" ]] && echo yes || echo no)" \
    "on a changed image, INF and catalog the second hand refused \"$refused\", not \"$expected_refusals\""

# The test root can sign nothing but code, and no certificate below its own; its key is gone
# once it has issued the signer, and no private key is in anything shipped (below).
root_text=$(openssl x509 -inform DER -in "$SAMPLE/test-root.cer" -noout -text)
constraints=$(grep -A1 -e 'Basic Constraints: critical' -e 'Key Usage: critical' \
    -e 'Extended Key Usage:' <<<"$root_text" | grep -v -e '^--' | tr -s ' ' | sed 's/ *$//' |
    tr '\n' '|')
expected_constraints=" X509v3 Basic Constraints: critical| CA:TRUE, pathlen:0| X509v3 Key Usage: critical|"
expected_constraints+=" Certificate Sign, CRL Sign| X509v3 Extended Key Usage:| Code Signing|"
check SampleRootConstrained "$([[ $constraints == "$expected_constraints" ]] && echo yes || echo no)" \
    "the test root's constraints read \"$constraints\""
check SampleRootKeyGone "$([[ -f $BUILD/sample-ca/signer.key && ! -e $BUILD/sample-ca/root.key ]] &&
    echo yes || echo no)" "the test root's key is still in $BUILD/sample-ca (or the signer's is missing)"

# --- the audit by name, and the archive -------------------------------------------------------

sed 's/(eh_call\.o)/(cp-demangle.o)/' "$BUILD/zelk_ca.map" >"$WORK/demangler.map"
audit=$("$repo/scripts/audit-dll.sh" "$DIST/zelk_ca.dll" --map "$WORK/demangler.map" || true)
check AuditNamesTheDemangler "$(grep -q 'FAIL  LeanLinkKeepsOut_Demangler' <<<"$audit" && echo yes || echo no)" \
    "the audit does not fail by name on a link map that holds the demangler"

# release_in DIR [VAR=value...]: release.sh on a copy of DIR in $WORK/NAME, with the
# certificate variables cleared and the given ones set; yes when it packed.
release_in() {
    local from=$1 name=$2
    shift 2
    rm -rf "${WORK:?}/$name" && cp -r "$from" "$WORK/$name"
    passes env -u ZELK_SIGN_CERT -u ZELK_SIGN_KEY -u ZELK_SIGN_PKCS12 -u ZELK_SIGN_PASSWORD \
        -u ZELK_RELEASE_REQUIRE_SIGNED "$@" "$repo/scripts/release.sh" --dist "$WORK/$name"
}
zips_in() {
    find "$WORK/$1" -maxdepth 1 -name '*.zip' -printf '%f\n'
}

# Signed: the archive with the release's plain name, its checksums signed with the certificate.
archive_ok=$(release_in "$SIGNED" dist ZELK_SIGN_CERT="$CERT/cert.pem" ZELK_SIGN_KEY="$CERT/key.pem")
archive=$WORK/dist/zelk_ca-$VERSION.zip
unpacked=$WORK/unpacked
mkdir -p "$unpacked"
if [[ $archive_ok == yes ]]; then
    archive_ok=$(passes unzip -q "$archive" -d "$unpacked")
fi
# What CHANGELOG.md and the reference promise the archive holds.
for file in "${BINARIES[@]}" CHANGELOG.md docs/README.md docs/What-runs-as-LocalSystem.md \
    package/zelk_drivers.wxs package/zelk_minimal.wxs scripts/build-package.sh \
    scripts/check-package.sh scripts/wine-env.sh sample/drivers/zelk_usb.inf \
    sample/certificate/zelk_publisher.cer sample/kernel/zelk_testdrv.sys SHA256SUMS; do
    [[ -f $unpacked/zelk_ca-$VERSION/$file ]] || archive_ok=no
done
if [[ $archive_ok == yes ]]; then
    archive_ok=$(cd "$unpacked/zelk_ca-$VERSION" && passes sha256sum --quiet -c SHA256SUMS)
fi
[[ $archive_ok == yes ]] && archive_ok=$(cd "$WORK/dist" && passes sha256sum --quiet -c SHA256SUMS)
check ReleaseArchive "$archive_ok" \
    "zelk_ca-$VERSION.zip is missing, lacks a file, or its checksums do not match"
# The command README.md gives for the signature of SHA256SUMS (CONTENT [SIGNATURE]): the signer
# pinned to SIGNER.pem, published beside the archive.
verify_sums() {
    openssl cms -verify -binary -inform DER -in "${2:-$WORK/dist/SHA256SUMS.p7s}" -content "$1" \
        -nointern -certfile "$WORK/dist/SIGNER.pem" -purpose any -CAfile "$CERT/ca.pem" -out /dev/null
}
check SignerPublished "$([[ -f $WORK/dist/SIGNER.pem && $(openssl x509 -in "$WORK/dist/SIGNER.pem" -noout -fingerprint -sha256) == "$(openssl x509 -in "$CERT/cert.pem" -noout -fingerprint -sha256)" ]] &&
    echo yes || echo no)" "dist/SIGNER.pem is missing or is not the certificate that signed"
check ChecksumsSignatureVerifies "$(passes verify_sums "$WORK/dist/SHA256SUMS")" \
    "dist/SHA256SUMS.p7s is missing or does not verify"
tampered_fails=no
if [[ -f $WORK/dist/SHA256SUMS ]]; then
    { cat "$WORK/dist/SHA256SUMS" && echo "0000  extra.zip"; } >"$WORK/tampered-sums"
    [[ $(passes verify_sums "$WORK/tampered-sums") == no ]] && tampered_fails=yes
fi
check TamperedChecksumsFailVerification "$tampered_fails" \
    "SHA256SUMS.p7s verifies a changed SHA256SUMS (or there was none)"
# A changed SHA256SUMS signed by another certificate of the same authority: the chain alone
# accepts it, the pinned command does not.
other_signed=$(passes openssl cms -sign -binary -outform DER -in "$WORK/tampered-sums" \
    -signer "$CERT/other.pem" -inkey "$CERT/other-key.pem" -out "$WORK/other-signer.p7s")
unpinned_accepts=$(passes openssl cms -verify -binary -inform DER -in "$WORK/other-signer.p7s" \
    -content "$WORK/tampered-sums" -purpose any -CAfile "$CERT/ca.pem" -out /dev/null)
pinned_accepts=$(passes verify_sums "$WORK/tampered-sums" "$WORK/other-signer.p7s")
check OtherSignerOfTheAuthorityFails "$([[ $other_signed == yes && $unpinned_accepts == yes &&
    $pinned_accepts == no ]] && echo yes || echo no)" \
    "another signer of the same authority: signed $other_signed, chain alone accepts $unpinned_accepts, pinned command accepts $pinned_accepts"
# No private key in anything shipped: dist/ (the kit's windows-check/ with it) and the archive.
keys_shipped=$({
    find "$DIST" "$unpacked" -type f \( -name '*.key' -o -name '*.p12' -o -name '*.pfx' -o -name '*.pvk' \)
    grep -rlas -e 'PRIVATE KEY' "$DIST" "$unpacked" || true
} | sort -u | tr '\n' ' ')
check NoPrivateKeyShipped "$([[ -z $keys_shipped ]] && echo yes || echo no)" \
    "private keys in what is shipped: $keys_shipped"
check ArchivedCheckCommandRuns "$(passes "$unpacked/zelk_ca-$VERSION/scripts/check-package.sh" \
    "$unpacked/zelk_ca-$VERSION/zelk_drivers.msi")" \
    "scripts/check-package.sh from the archive did not pass the sample package"

# Unsigned, nothing asked: the archive's name says so, and no signature lies beside it.
unsigned_dist=$WORK/unsigned-source
mkdir -p "$unsigned_dist"
for file in "${BINARIES[@]}"; do
    cp "$DIST/$file" "$unsigned_dist/"
done
packed=$(release_in "$unsigned_dist" unsigned)
check UnsignedArchiveSaysSo "$([[ $packed == yes && $(zips_in unsigned) == "zelk_ca-$VERSION-unsigned.zip" &&
    ! -e $WORK/unsigned/SHA256SUMS.p7s ]] && echo yes || echo no)" \
    "an unsigned release packed $(zips_in unsigned | tr '\n' ' ')instead of zelk_ca-$VERSION-unsigned.zip alone"

# Signing asked for, dist/ not signed: nothing is packed. After `make sign`, `make dist` copies
# the unsigned DLL over the signed one; SIGNED stays.
cp -r "$SIGNED" "$WORK/resigned-source"
cp "$DIST/zelk_ca.dll" "$WORK/resigned-source/"
packed=$(release_in "$WORK/resigned-source" after-sign)
check NoUnsignedArchiveAfterSign "$([[ $packed == no && -z $(zips_in after-sign) ]] && echo yes || echo no)" \
    "release.sh packed an unsigned DLL in a dist/ signed before"
packed=$(release_in "$unsigned_dist" required ZELK_RELEASE_REQUIRE_SIGNED=1)
check NoUnsignedArchiveWhenRequired "$([[ $packed == no && -z $(zips_in required) ]] && echo yes || echo no)" \
    "release.sh packed an unsigned dist/ with ZELK_RELEASE_REQUIRE_SIGNED=1"

[[ -n $report ]] && write_test_report "$report" Release "${results[@]}"
echo "release: ${#results[@]} checks, $failed failed"
((failed == 0))
