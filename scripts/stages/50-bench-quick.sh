#!/usr/bin/env bash
# Runs the benchmark in its quick mode so that bench/run keeps working. The
# figures are printed for the log only: a slow or busy machine does not fail
# this stage, a broken benchmark (nginx not starting, a tool failing, a wrong
# download) does.
set -euo pipefail
cd "$(dirname "$0")/../.."
bash bench/run --quick --work-dir build
