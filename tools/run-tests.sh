#!/usr/bin/env bash
# Runs every registered test of a build folder with CTest. A second argument "sanitized"
# sets the sanitizer options the project uses.
set -euo pipefail
build=$1
mode=${2:-plain}
here=$(cd "$(dirname "$0")/.." && pwd)
export QT_QPA_PLATFORM=offscreen
# Agents and shares that tests start announce themselves with DNS-SD: keep them off any
# daemon of this computer (tests that need one start a private daemon of their own).
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/shardex-tests-no-bus
if [[ "$mode" == sanitized ]]; then
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  supp="$here/tests/lsan.supp"
  [[ -f "$supp" ]] && export LSAN_OPTIONS="suppressions=$supp:print_suppressions=0"
  echo "== sanitizer pass (AddressSanitizer + UndefinedBehaviorSanitizer) =="
fi
ctest --test-dir "$build" --output-on-failure -j 2 --timeout 600
