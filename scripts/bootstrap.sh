#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those that are missing.
# Quick and silent when everything is there; as a non-root user it says what to install.
set -euo pipefail

readonly PACKAGES=(
    cmake g++ make libgtest-dev  # host build and unit tests
    clang-14 libclang-rt-14-dev  # fuzzing: libFuzzer, its runtimes, FuzzedDataProvider.h
    g++-mingw-w64-x86-64         # the DLL and the Wine suite (win32 thread model compilers)
    clang lld clang-tidy         # the DLL's second compiler and the static analysis
    wine wine64                  # running the real DLL
    wixl msitools                # the test installer package
    locales                      # the Japanese locale of the code page 932 groups
    osslsigncode openssl         # signing a release; the sample's test-signed drivers and catalogs
    zip unzip git                # the release archive; the commit time of reproducible builds
)

# Under LC_ALL=ja_JP.UTF-8 Wine runs a program with code page 932; it can name files with
# double-byte characters only when that locale exists on the Linux side too.
has_japanese_locale() {
    locale -a 2>/dev/null | grep -qix 'ja_JP.utf-\?8'
}

ensure_japanese_locale() {
    has_japanese_locale && return 0
    if ((EUID != 0)); then
        echo "bootstrap: generate the Japanese locale as root with:" >&2
        echo "    localedef -i ja_JP -f UTF-8 ja_JP.UTF-8" >&2
        return 1
    fi
    # localedef's exit status also counts warnings; what matters is that the locale is there.
    localedef -i ja_JP -f UTF-8 ja_JP.UTF-8 || true
    has_japanese_locale
}

is_installed() {
    [[ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" == "install ok installed" ]]
}

missing=()
for package in "${PACKAGES[@]}"; do
    is_installed "$package" || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
    ensure_japanese_locale
    exit 0
fi

if ((EUID != 0)); then
    echo "bootstrap: missing Debian packages: ${missing[*]}" >&2
    echo "bootstrap: install them as root with:" >&2
    echo "    apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 1
fi

echo "bootstrap: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q "${missing[@]}" </dev/null
ensure_japanese_locale
