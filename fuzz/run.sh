#!/usr/bin/env bash
# Builds every libFuzzer target with clang (ASan + UBSan) and, for each,
# first replays its regression inputs (fuzz/regressions/<target>-*, each a
# minimal input that once made it fail), then fuzzes it for FUZZ_SECONDS
# (default 20) from its seed corpus. New inputs go to a scratch copy, so the
# seeds in the repository stay small. Any failure fails the run. FUZZ_BUILD
# names another build directory (default build/fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${FUZZ_SECONDS:-20}
build=${FUZZ_BUILD:-build/fuzz}
CXX=clang++ cmake -S . -B "$build" -DFUZZ=ON -DBUILD_TESTING=OFF -DPARTS=fuzz >/dev/null
cmake --build "$build" -j "$(nproc)"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for bin in "$build"/fuzz/*_fuzz; do
  target=$(basename "$bin")
  name=$(basename "$bin" _fuzz)
  seeds=fuzz/corpus/$name
  mkdir -p "$scratch/$name" "$scratch/$name-crash"
  regressions=(fuzz/regressions/"$target"-*)
  if [ -e "${regressions[0]}" ]; then
    echo "== $name: ${#regressions[@]} regression input(s)"
    if ! "$bin" -artifact_prefix="$scratch/$name-crash/" "${regressions[@]}" \
          >"$scratch/$name-regressions.log" 2>&1; then
      grep -A30 "fuzz check failed\|ERROR:" "$scratch/$name-regressions.log" | head -40 || true
      echo "FAIL: $name regression input(s) still fail"
      status=1
    fi
  fi
  echo "== $name for ${secs}s"
  if ! "$bin" -max_total_time="$secs" -print_final_stats=1 \
        -artifact_prefix="$scratch/$name-crash/" "$scratch/$name" "$seeds" \
        2>"$scratch/$name.log"; then
    tail -40 "$scratch/$name.log"
    echo "FAIL: $name (artifacts: $(ls "$scratch/$name-crash"))"
    cp -r "$scratch/$name-crash" "fuzz/crash-$name" 2>/dev/null || true
    status=1
  else
    grep -E "number_of_executed_units|average_exec_per_sec|new_units_added" "$scratch/$name.log" |
      sed "s/^/  /"
  fi
done
exit $status
