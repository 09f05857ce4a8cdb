#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh windows-x86 windows-x64 native native-bridge
# The release archives, which the tests of build/native read.
bash scripts/package.sh
ctest --test-dir build/native --output-on-failure -j2
# The host built with the test event manager: the bridge's own tests.
ctest --test-dir build/native-bridge --output-on-failure -j2 -R '^(Bridge|Dispatch/BridgeFailure)\.|^e2e_bridge$'
# The native tests under AddressSanitizer and UBSan, the concurrent cases under ThreadSanitizer,
# and each fuzz target for a bounded time.
bash scripts/hardening.sh
