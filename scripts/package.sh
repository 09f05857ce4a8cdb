#!/usr/bin/env bash
# Makes the release archive of each Windows build (built before by scripts/build.sh):
# build/windows-x86/repohost-<version>-win32.zip and build/windows-x64/repohost-<version>-win64.zip.
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in windows-x86 windows-x64; do
    cpack --preset "$preset" >/dev/null
done
