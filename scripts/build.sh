#!/usr/bin/env bash
# Configures and builds the given presets (default: the three builds).
set -euo pipefail
cd "$(dirname "$0")/.."
presets=${*:-"windows-x86 windows-x64 native"}
for preset in $presets; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
