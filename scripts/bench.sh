#!/usr/bin/env bash
# Builds what is missing, then runs the benchmark and writes docs/benchmark.md.
# Arguments go to bench.py (e.g. --runs 5, --no-wine); by default 15 runs.
set -euo pipefail
cd "$(dirname "$0")/.."
missing=""
[ -x build/windows-x86/host/repohost.exe ] && [ -e build/windows-x86/regtool/Tarnwick.exe ] ||
    missing="$missing windows-x86"
[ -x build/windows-x64/host/repohost.exe ] && [ -e build/windows-x64/regtool/Tarnwick.exe ] ||
    missing="$missing windows-x64"
[ -x build/native/host/repohost ] && [ -e build/native/testjvm/libtestjvm.so ] &&
    [ -d build/native/java/app/com/korvane/repository ] || missing="$missing native"
if [ -n "$missing" ]; then
    bash scripts/build.sh windows-x86 windows-x64 native
fi
export REPOHOST_EXE=$PWD/build/native/host/repohost
export TESTJVM_LIB=$PWD/build/native/testjvm/libtestjvm.so
export JAVA_FIXTURES=$PWD/build/native/java
exec python3 scripts/bench.py --write docs/benchmark.md "$@"
