#!/usr/bin/env bash
# Source hygiene: every C++ file formatted as .clang-format says, and no
# clang-tidy finding (.clang-tidy) in the sources the release tree build/
# compiles (files unchanged since found clean are skipped: see
# scripts/hygiene.sh). Prints one line (files checked and linted), naming the
# file in build/ that holds the tools' output (hygiene-details.txt); on a
# failure, the files and findings at fault.
set -uo pipefail
QX_ROOT="${QX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
. "$QX_ROOT/scripts/deps.sh"
build="$QX_ROOT/build"
details="$build/hygiene-details.txt"
failed=""
mkdir -p "$build"
: >"$details"

start=$SECONDS
bash "$QX_ROOT/scripts/hygiene.sh" format-check >>"$details" 2>&1 || failed="$failed format"
format_time=$((SECONDS - start))

# Configuring refreshes compile_commands.json (new files, changed flags);
# nothing needs to be built for clang-tidy. The preset has tests and
# benchmarks on, so that their sources are linted too (scripts/build.sh turns
# them off).
start=$SECONDS
(cd "$QX_ROOT" && "$QX_CMAKE" --preset default) >>"$details" 2>&1 || failed="$failed configure"
bash "$QX_ROOT/scripts/hygiene.sh" lint "$build" >>"$details" 2>&1 || failed="$failed lint"
lint_time=$((SECONDS - start))

format="$(sed -n 's/^format: //p' "$details")"
lint="$(sed -nE 's/^lint: clang-tidy over ([0-9]+ of [0-9]+) files .*; ([0-9]+) unchanged.*/\1 files linted, \2 unchanged since found clean/p' "$details")"
summary="format: ${format:-not run}, $format_time s; lint: ${lint:-not run}, $lint_time s"
if [ -n "$failed" ]; then
  grep -v -E '^-- ' "$details" | tail -n 60
  echo "hygiene: $summary"
  echo "hygiene: FAILED:$failed (all output: ${details#"$QX_ROOT"/})"
  exit 1
fi
echo "hygiene: $summary [${details#"$QX_ROOT"/}]"
echo "hygiene: passed"
