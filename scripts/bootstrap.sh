#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those that are missing.
# Quick and silent when everything is there; as a non-root user it says what to install.
set -euo pipefail

readonly PACKAGES=(
    cmake g++ make libgtest-dev  # host build and unit tests
    clang-14 libclang-rt-14-dev  # fuzz targets: libFuzzer and the sanitizer runtimes
    g++-mingw-w64-x86-64         # the DLL and the Wine suite (win32 thread model compilers)
    wine wine64                  # running the real DLL
    wixl msitools                # the test installer package
)

is_installed() {
    [[ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" == "install ok installed" ]]
}

missing=()
for package in "${PACKAGES[@]}"; do
    is_installed "$package" || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
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
