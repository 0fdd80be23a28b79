#!/usr/bin/env bash
# Rebuilds everything with AddressSanitizer and UBSan in build-asan and runs
# the whole ctest suite there; the integration tests then drive the
# sanitized binary. Any report ends the process with an exit status no test
# accepts (99 for ASan/LeakSanitizer, 98 for UBSan). ASan and LeakSanitizer
# reports also go to files, so one from a process whose exit status a test
# tolerates, or whose stderr a test swallows, still fails the stage (g++'s
# UBSan runtime ignores log_path and writes to stderr only).
set -euo pipefail
cd "$(dirname "$0")/../.."

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMGMTFETCH_SANITIZE=ON
cmake --build build-asan

reports="$PWD/build-asan/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
# LeakSanitizer works inside network namespaces but not under ptrace;
# nothing in the suite traces the client.
export ASAN_OPTIONS="halt_on_error=1:exitcode=99:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=98:log_path=$reports/ubsan"
export LSAN_OPTIONS=exitcode=99

status=0
ctest --test-dir build-asan --output-on-failure --timeout 600 || status=$?

if compgen -G "$reports/*" >/dev/null; then
  for f in "$reports"/*; do
    echo "== $f"
    cat "$f"
  done
  echo "sanitizer reports found" >&2
  status=1
fi
exit "$status"
