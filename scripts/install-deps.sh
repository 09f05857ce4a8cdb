#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need, only those that are missing.
set -euo pipefail
packages="cmake ninja-build g++ clang-14 libclang-rt-14-dev clang-format mingw-w64 wine wine64
    openjdk-17-jdk-headless libgtest-dev libgmock-dev python3 python3-pefile binutils"
missing=""
for package in $packages; do
    dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
done
if [ -n "$missing" ]; then
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    # One failing package index must not stop the install: judge by the install's status.
    apt-get update || echo "apt-get update failed; installing from what is there"
    apt-get install -y $missing
fi
