#!/usr/bin/env bash
# Builds mgmtfetch and runs the whole test suite: unit and integration tests
# with ctest, then each further stage (sanitizers, memcheck, fuzzing, the
# quick benchmark, packaging) from scripts/stages in name order.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build
ctest --test-dir build --output-on-failure
for stage in scripts/stages/*.sh; do
  [ -e "$stage" ] || continue
  echo "== ${stage##*/}"
  bash "$stage"
done
echo "all checks passed"
