#!/usr/bin/env bash
# Keeps the benchmarks working: builds the release tree's bench program and
# runs every case once in quick mode. Fails only if the program errors, never
# on a missed goal: timings are not tests.
set -euo pipefail
QX_ROOT="${QX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
bash "$QX_ROOT/bench/run.sh" --quick
