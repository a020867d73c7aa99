#!/usr/bin/env bash
# Runs every registered test of a build folder with CTest. A second argument "sanitized"
# sets the options of the AddressSanitizer build; "threads" those of the ThreadSanitizer
# build, whose third argument is the pattern (ctest -R) of the tests it built.
set -euo pipefail
build=$1
mode=${2:-plain}
pattern=${3:-}
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
if [[ "$mode" == threads ]]; then
  # A report fails the test that met it (the program exits 66), child processes included.
  # FFmpeg, gRPC (and its Abseil), Qt and mpv are not built with ThreadSanitizer: it cannot
  # see how they order their own threads' work, so the accesses their calls into the C
  # library make (free, memmove, epoll_wait) are not checked; our code's accesses are.
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1"
  TSAN_OPTIONS+=":suppressions=$here/tests/tsan.supp:print_suppressions=0"
  echo "== sanitizer pass (ThreadSanitizer) =="
fi
args=()
[[ -n "$pattern" ]] && args=(-R "$pattern")
ctest --test-dir "$build" --output-on-failure -j 2 --timeout 600 "${args[@]}"
