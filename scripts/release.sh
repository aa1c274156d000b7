#!/usr/bin/env bash
# Packs a release: DIST/zelk_ca-VERSION.zip with the DLL, the package checker, the validation
# cube, the two sample packages, the authors' reference (docs/), what an author takes from
# package/ (the WiX sources), the build and check commands scripts/build-package.sh and
# scripts/check-package.sh, the sample driver images (sample/), the change log and SHA256SUMS of
# all of them; DIST/SHA256SUMS covers the archive.
# The version is the project version of the build; the change log and the reference must
# name it, so that no release goes out with an old one.
#
# Signed or not, never by surprise. Signing is asked for when a certificate is set
# (ZELK_SIGN_CERT or ZELK_SIGN_PKCS12), when ZELK_RELEASE_REQUIRE_SIGNED=1, or when sign.sh has
# signed DIST (DIST/SIGNED). Then every binary packed must be the signed form sign.sh recorded,
# or nothing is packed, DIST/SHA256SUMS.p7s is its detached signature (sign.sh --checksums) and
# DIST/SIGNER.pem the certificate that made it, whose fingerprint the release notes publish. Otherwise the archive is DIST/zelk_ca-VERSION-unsigned.zip. Signs no binary
# itself: run sign.sh first.
#
# usage: release.sh [--dist DIR] [--build DIR]   (defaults: dist/ and build/mingw/)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
dist=$repo/dist
build=$repo/build/mingw
while (($#)); do
    case $1 in
        --dist) dist=${2:?--dist needs a folder}; shift ;;
        --build) build=${2:?--build needs a folder}; shift ;;
        *) echo "usage: release.sh [--dist DIR] [--build DIR]" >&2; exit 2 ;;
    esac
    shift
done

fail() {
    echo "release: $*" >&2
    exit 1
}

[[ -f $build/zelk_version.txt ]] || fail "$build/zelk_version.txt is missing; build the mingw preset"
version=$(<"$build/zelk_version.txt")
first_entry=$(sed -n 's/^## \[\{0,1\}\([0-9][0-9.]*\).*/\1/p' "$repo/CHANGELOG.md" | head -1)
[[ $first_entry == "$version" ]] ||
    fail "CHANGELOG.md starts with ${first_entry:-no version}, not $version"
grep -qF "release $version" "$repo/docs/README.md" || fail "docs/README.md does not name release $version"

# The binaries of dist/ in the archive; signed ones are exactly these.
readonly BINARIES=(zelk_ca.dll zelk_ca_check.exe zelk_ca.cub zelk_drivers.msi zelk_minimal.msi)
# The author's commands; check-package.sh needs the Wine prefix helper beside it.
readonly SCRIPTS=(build-package.sh check-package.sh wine-env.sh)

for file in "${BINARIES[@]}"; do
    [[ -f $dist/$file ]] || fail "$dist/$file is missing; run make dist first"
done

# Why signing is asked for; empty when it is not.
signing_reason=
if [[ ${ZELK_RELEASE_REQUIRE_SIGNED:-} == 1 ]]; then
    signing_reason="ZELK_RELEASE_REQUIRE_SIGNED=1"
elif [[ -n ${ZELK_SIGN_CERT:-}${ZELK_SIGN_PKCS12:-} ]]; then
    signing_reason="a certificate is set"
elif [[ -f $dist/SIGNED ]]; then
    signing_reason="sign.sh signed $dist before ($dist/SIGNED; remove it for an unsigned release)"
fi

# is_signed FILE: FILE is still the signed form sign.sh recorded.
is_signed() {
    [[ -f $dist/SIGNED ]] && grep -qxF "$(sha256sum "$dist/$1" | cut -d' ' -f1)  $1" "$dist/SIGNED"
}

if [[ -n $signing_reason ]]; then
    for file in "${BINARIES[@]}"; do
        is_signed "$file" || fail "signing is asked for ($signing_reason), but $dist/$file is" \
            "not signed: run make release with the certificate set (scripts/sign.sh)"
    done
    name=zelk_ca-$version
else
    name=zelk_ca-$version-unsigned
    echo "release: warning: no certificate set, the release is unsigned:" \
        "set ZELK_SIGN_CERT and ZELK_SIGN_KEY, or ZELK_SIGN_PKCS12 (scripts/sign.sh)" >&2
fi

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
root=$stage/$name
mkdir -p "$root/docs" "$root/package"
for file in "${BINARIES[@]}"; do
    cp "$dist/$file" "$root/"
done
cp "$repo"/docs/*.md "$root/docs/"
cp "$repo"/package/*.wx[si] "$root/package/"
# The author's commands, and the sample driver images laid out as in dist/sample/.
mkdir -p "$root/scripts" "$root/sample"
for file in "${SCRIPTS[@]}"; do
    cp "$repo/scripts/$file" "$root/scripts/"
done
[[ -f $build/sample/kernel/zelk_testdrv.sys ]] || fail "$build/sample is missing; build the mingw preset"
cp -R "$build/sample/." "$root/sample/"
cp "$repo/CHANGELOG.md" "$root/"
(cd "$root" && find . -type f ! -name SHA256SUMS | sort | sed 's|^\./||' | xargs sha256sum >SHA256SUMS)

# Fixed times and order, no extra attributes: the same inputs give the same archive.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$repo" log -1 --format=%ct)}
find "$root" -exec touch -h -d "@$epoch" {} +
archive=$dist/$name.zip
# No archive, checksum or signature of an earlier run stays beside this one.
rm -f "$dist/zelk_ca-$version.zip" "$dist/zelk_ca-$version-unsigned.zip" "$dist/SHA256SUMS" \
    "$dist/SHA256SUMS.p7s" "$dist/SIGNER.pem"
(cd "$stage" && find "$name" | sort | TZ=UTC zip -q -X -D "$archive" -@)
(cd "$dist" && sha256sum "$name.zip" >SHA256SUMS)
if [[ -n $signing_reason ]]; then
    if ! "$repo/scripts/sign.sh" --checksums "$dist/SHA256SUMS"; then
        rm -f "$archive" "$dist/SHA256SUMS"
        fail "SHA256SUMS could not be signed; the certificate must be set to sign a release"
    fi
    # The certificate that signed, for those who check the release to pin (README.md): only a
    # signature by it is the project's, not one by any certificate of the same authority.
    openssl cms -verify -binary -inform DER -in "$dist/SHA256SUMS.p7s" -content "$dist/SHA256SUMS" \
        -noverify -signer "$dist/SIGNER.pem" -out /dev/null 2>/dev/null ||
        fail "cannot read the signer's certificate from SHA256SUMS.p7s"
    echo "release: signed by $(openssl x509 -in "$dist/SIGNER.pem" -noout -subject)," \
        "$(openssl x509 -in "$dist/SIGNER.pem" -noout -fingerprint -sha256)"
fi
echo "release: $archive"
cat "$dist/SHA256SUMS"
