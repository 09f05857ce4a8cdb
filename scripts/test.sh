#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh windows-x86 windows-x64 windows-x86-bridge windows-x64-bridge native \
    native-bridge
# The release archives, which the tests of build/native read.
bash scripts/package.sh
ctest --test-dir build/native --output-on-failure -j2
# The cases that this machine could not run (a case prints "skipped: <case>: <reason>" and
# ctest reports it as skipped): named at the very end, so that no one takes them for passed.
skipped=$(grep -h '^skipped: ' build/native/Testing/Temporary/LastTest.log || true)
# The host built with the test event manager: the bridge's own tests.
ctest --test-dir build/native-bridge --output-on-failure -j2 -R '^(Bridge|Dispatch/BridgeFailure)\.|^e2e_bridge$'
# The native tests under AddressSanitizer and UBSan, the concurrent cases under ThreadSanitizer,
# and each fuzz target for a bounded time.
bash scripts/hardening.sh
if [ -n "$skipped" ]; then
    echo "$skipped" | awk '{ name = $2; sub(/:$/, "", name); reason = substr($0, length($1 $2) + 3)
        names[reason] = names[reason] (n[reason]++ ? ", " : "") name }
        END { for (r in names) printf "Skipped, not passed: %d cases (%s): %s\n", n[r], names[r], r }'
fi
