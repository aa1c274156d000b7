#!/usr/bin/env bash
# Packs a release: DIST/zelk_ca-VERSION.zip with the DLL, the package checker, the sample
# package, the authors' reference (docs/), what an author takes from package/ (the WiX
# sources), the build command scripts/build-package.sh, the sample driver images (sample/), the
# change log and SHA256SUMS of all of them; DIST/SHA256SUMS covers the archive.
# The version is the project version of the build; the change log and the reference must
# name it, so that no release goes out with an old one. Signs nothing: run sign.sh first.
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

name=zelk_ca-$version
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
root=$stage/$name
mkdir -p "$root/docs" "$root/package"
for file in zelk_ca.dll zelk_ca_check.exe zelk_drivers.msi; do
    [[ -f $dist/$file ]] || fail "$dist/$file is missing; run make dist first"
    cp "$dist/$file" "$root/"
done
cp "$repo"/docs/*.md "$root/docs/"
cp "$repo"/package/*.wx[si] "$root/package/"
# The author's build command, and the sample driver images laid out as in dist/sample/.
mkdir -p "$root/scripts" "$root/sample"
cp "$repo/scripts/build-package.sh" "$root/scripts/"
[[ -f $build/sample/kernel/zelk_testdrv.sys ]] || fail "$build/sample is missing; build the mingw preset"
cp -R "$build/sample/." "$root/sample/"
cp "$repo/CHANGELOG.md" "$root/"
(cd "$root" && find . -type f ! -name SHA256SUMS | sort | sed 's|^\./||' | xargs sha256sum >SHA256SUMS)

# Fixed times and order, no extra attributes: the same inputs give the same archive.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$repo" log -1 --format=%ct)}
find "$root" -exec touch -h -d "@$epoch" {} +
archive=$dist/$name.zip
rm -f "$archive"
(cd "$stage" && find "$name" | sort | TZ=UTC zip -q -X -D "$archive" -@)
(cd "$dist" && sha256sum "$name.zip" >SHA256SUMS)
echo "release: $archive"
cat "$dist/SHA256SUMS"
