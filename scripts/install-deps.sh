#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need, only those that are missing.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages="cmake ninja-build g++ clang-14 libclang-rt-14-dev clang-format mingw-w64 wine wine64
    openjdk-17-jdk-headless libgtest-dev libgmock-dev python3 python3-pefile binutils"
missing=""
for package in $packages; do
    dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
done
if [ -n "$missing" ]; then
    echo "installing:$missing"
    # One failing package index must not stop the install: judge by the install's status.
    apt-get update || echo "apt-get update failed; installing from what is there"
    apt-get install -y $missing
fi

# Wine's 32-bit loader runs the 32-bit (deliverable) executables in the tests. It comes from
# Debian's i386 architecture, whose package index has been seen failing to download: without
# it everything else still builds and runs, and the tests of the 32-bit executables say that
# they were skipped.
if ! dpkg -s wine32:i386 >/dev/null 2>&1; then
    echo "installing: wine32:i386"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    apt-get update || echo "apt-get update failed; installing wine32 from what is there"
    apt-get install -y wine32:i386 ||
        echo "wine32:i386 could not be installed: the 32-bit executables will not run under Wine"
fi
