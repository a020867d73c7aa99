#!/usr/bin/env bash
# Runs every soak program of a build folder (every executable named soak_* under
# BUILD/soak, in subfolders too), then the fuzzers for a minute when tools/fuzz.sh exists,
# and prints a summary of their result lines:
#   SOAK <check>: <figures> ... PASS
#   SOAK <check>: <figures> ... FAIL: <why>
# Exits non-zero when a check failed or a program failed without saying why.
#
#   tools/soak.sh BUILD_DIR
set -uo pipefail
build=${1:?usage: tools/soak.sh BUILD_DIR}
here=$(cd "$(dirname "$0")/.." && pwd)
export QT_QPA_PLATFORM=offscreen
# Agents and shares the soak starts announce themselves with DNS-SD: keep them off any
# daemon of this computer.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/shardex-soak-no-bus
# Two malloc arenas a process, so that resident memory follows live memory rather than how
# many arenas glibc opened for the runs' threads (see soak/long_runs.cpp).
export MALLOC_ARENA_MAX=${MALLOC_ARENA_MAX:-2}

# Everything the programs write (among them a source over 4 GiB) goes into one folder that
# is removed at the end, even when a program is killed.
work=$(mktemp -d "${TMPDIR:-/tmp}/shardex-soak.XXXXXX")
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work
results=$work/results.txt
: >"$results"

start=$(date +%s)
failed=0
mapfile -t programs < <(find "$build/soak" -type f -name 'soak_*' -perm -u+x 2>/dev/null | sort)
if [[ ${#programs[@]} -eq 0 ]]; then
  echo "no soak programs under $build/soak: build first (make build)" >&2
  exit 1
fi
for p in "${programs[@]}"; do
  name=${p#"$build/soak/"}
  echo "== $name =="
  t0=$(date +%s)
  out=$work/$(echo "$name" | tr / _).out
  "$p" | tee "$out"
  rc=${PIPESTATUS[0]}
  grep '^SOAK ' "$out" >>"$results"
  if [[ $rc -ne 0 ]]; then
    failed=1
    grep -q '^SOAK .*FAIL' "$out" || echo "SOAK $name: exit code $rc ... FAIL: it ended without a result line" | tee -a "$results"
  fi
  echo "($name: $(($(date +%s) - t0)) s)"
done

if [[ -f "$here/tools/fuzz.sh" ]]; then
  echo "== fuzz =="
  t0=$(date +%s)
  out=$work/fuzz.out
  (cd "$here" && bash tools/install-deps.sh tools/apt-packages-fuzz.txt && bash tools/fuzz.sh build-fuzz 60) 2>&1 | tee "$out"
  rc=${PIPESTATUS[0]}
  # One line per fuzz target, in the soak's own form.
  sed -n -e 's/^fuzz \(.*no crash.*\)$/SOAK fuzz \1 ... PASS/p' -e 's/^fuzz \(.*FAILED.*\)$/SOAK fuzz \1 ... FAIL/p' "$out" >>"$results"
  if [[ $rc -ne 0 ]]; then
    failed=1
    grep -q '^SOAK .*FAIL' "$out" || echo "SOAK fuzz: exit code $rc ... FAIL: tools/fuzz.sh failed" | tee -a "$results"
  elif ! grep -q '^fuzz ' "$out"; then
    echo "SOAK fuzz: tools/fuzz.sh build-fuzz 60 ... PASS" >>"$results"
  fi
  echo "(fuzz: $(($(date +%s) - t0)) s)"
fi

echo
echo "== soak summary =="
cat "$results"
passed=$(grep -c ' \.\.\. PASS$' "$results")
failures=$(grep -c ' \.\.\. FAIL' "$results")
echo "$passed passed, $failures failed, $(($(date +%s) - start)) s in all"
[[ $failed -eq 0 && $failures -eq 0 ]]
