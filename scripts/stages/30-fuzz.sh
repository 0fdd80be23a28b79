#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan and UBSan included) in
# build-fuzz and runs each for a bounded time from the seed corpus in
# fuzz/corpus. A crash, a sanitizer report or a failed property stops the
# fuzzer with a non-zero status and leaves the input in build-fuzz/artifacts.
# FUZZ_SECONDS overrides the time per target.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${FUZZ_SECONDS:-60}"

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMGMTFETCH_FUZZ=ON -DMGMTFETCH_TESTS=OFF
cmake --build build-fuzz

export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1
mkdir -p build-fuzz/artifacts
status=0
summary=()
for target in address package_url json_string; do
  # New inputs go to the first directory, so the seeds in the tree stay as
  # they are and the grown corpus is kept between local runs.
  work="build-fuzz/corpus/$target"
  log="build-fuzz/$target.log"
  mkdir -p "$work"
  echo "== ${target}_fuzz for ${seconds}s"
  if ./build-fuzz/fuzz/${target}_fuzz -max_total_time="$seconds" -timeout=10 \
      -print_final_stats=1 -dict="fuzz/$target.dict" \
      -artifact_prefix="build-fuzz/artifacts/${target}-" \
      "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
    grep -E 'property failed|ERROR|SUMMARY|Test unit written' "$log" || tail -n 40 "$log"
    for artifact in build-fuzz/artifacts/"$target"-*; do
      [ -e "$artifact" ] || continue
      echo "reproducer $artifact:"
      od -An -c "$artifact" | head -n 20
    done
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  summary+=("${target}_fuzz: $result, ${runs:-?} runs, ${rate:-?} exec/s")
done
# What the JSON string writer made of every input kept, read by the parser
# the trace's readers use: each must decode as UTF-8 and load as a string.
literals="build-fuzz/json_string.out"
rm -f "$literals"
if JSON_STRING_ECHO="$literals" ./build-fuzz/fuzz/json_string_fuzz -runs=0 \
    build-fuzz/corpus/json_string fuzz/corpus/json_string >/dev/null 2>&1 &&
  python3 - "$literals" <<'EOF'; then
import json, sys
lines = open(sys.argv[1], "rb").read().split(b"\n")[:-1]
bad = [l for l in lines if not isinstance(json.loads(l.decode("utf-8")), str)]
assert lines and not bad, bad[:3]
print(f"json_string: {len(lines)} literals load as strings")
EOF
  summary+=("json_string loaded by Python: ok")
else
  summary+=("json_string loaded by Python: FAILED")
  status=1
fi
printf '%s\n' "${summary[@]}"
exit "$status"
