#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test: first the portable
# code natively under AddressSanitizer and UndefinedBehaviorSanitizer, then all tests
# of the Windows build under Wine. Ends with CTest's summary of the Windows run.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/setup.sh" || exit 1
bash "$top/scripts/build.sh" || exit 1
jobs=$(nproc)
native=0
ctest --test-dir "$top/build/native" -j "$jobs" --output-on-failure || native=1
# A Wine program that hangs (Wine itself, now and then, when many programs start at
# once on a busy machine) runs a second time; one that fails does not.
ctest --test-dir "$top/build/windows" -j "$jobs" --output-on-failure --repeat after-timeout:2
windows=$?
[ "$native" = 0 ] || echo "native tests failed"
exit $(( native | windows ))
