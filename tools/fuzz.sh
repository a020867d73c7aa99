#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UBSan) in BUILD_DIR and runs each
# for SECONDS, one line per target:
#   fuzz <target>: 60 s, <runs> runs, <coverage> edges, no crash
# Exits non-zero when a target crashes, hangs, leaks or trips a sanitizer; its log and the
# input that did it stay under BUILD_DIR/fuzz-out/<target>/ (never in the source tree).
#   usage: tools/fuzz.sh BUILD_DIR SECONDS [TARGET...]
set -euo pipefail
build=${1:?usage: tools/fuzz.sh BUILD_DIR SECONDS [TARGET...]}
seconds=${2:?usage: tools/fuzz.sh BUILD_DIR SECONDS [TARGET...]}
shift 2
here=$(cd "$(dirname "$0")/.." && pwd)
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(profile paths peers agent)

cc=${FUZZ_CC:-$(command -v clang-14 || command -v clang)}
cxx=${FUZZ_CXX:-$(command -v clang++-14 || command -v clang++)}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
mkdir -p "$build"
build=$(cd "$build" && pwd)
if ! cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSHARDEX_FUZZ=ON \
     -DSHARDEX_BUILD_TESTS=OFF -DSHARDEX_BUILD_BENCH=OFF -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
     "${launcher[@]}" >"$build/fuzz-configure.log" 2>&1; then
  cat "$build/fuzz-configure.log"
  exit 1
fi
cmake --build "$build" -j "${JOBS:-$(nproc)}" --target "${targets[@]/#/fuzz_}" fuzz_replay

export QT_QPA_PLATFORM=offscreen
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/shardex-fuzz-no-bus
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
supp="$here/tests/lsan.supp"
[[ -f "$supp" ]] && export LSAN_OPTIONS="suppressions=$supp:print_suppressions=0"

failed=0
for t in "${targets[@]}"; do
  out="$build/fuzz-out/$t"
  mkdir -p "$out/corpus" "$out/artifacts"
  log="$out/fuzz.log"
  # The target's table of hostile inputs starts the corpus (inputs the seed files cannot hold).
  "$build/fuzz/fuzz_replay" "$t" --dump "$out/table" >/dev/null
  # New inputs go to the build folder's corpus; the seeds in the tree are only read. The
  # per-input timeout makes a hang a finding; the memory limit makes a runaway one too.
  set +e
  (cd "$out" && "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 \
     -max_len=8192 -print_final_stats=1 -artifact_prefix="$out/artifacts/" \
     "$out/corpus" "$here/fuzz/corpus/$t" "$out/table") >"$log" 2>&1
  rc=$?
  set -e
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1 || true)
  edges=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || true)
  if [[ $rc -eq 0 ]] && ! grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error:' "$log"; then
    echo "fuzz $t: $seconds s, ${runs:-0} runs, ${edges:-0} edges, no crash"
  else
    failed=1
    what=$(grep -m1 -E 'ERROR: |runtime error:|broken promise:|ALARM:' "$log" || echo "exit status $rc")
    echo "fuzz $t: $seconds s, ${runs:-0} runs, ${edges:-0} edges, FAILED: $what"
    echo "  log: $log"
    ls "$out/artifacts" | sed "s|^|  input: $out/artifacts/|"
  fi
done
exit $failed
