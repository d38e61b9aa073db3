#!/usr/bin/env bash
# Runs every test, for each supported Python found (python-versions.txt):
# the packages and interpreters, ctest in each build tree (CMakePresets.json),
# then each check in scripts/checks/. The stages are scripts/qx_test.py's,
# run by Debian's Python (never PATH's):
#   bash scripts/test.sh --list              the stages, numbered
#   bash scripts/test.sh 1 build-dbg/ hygiene   only those (number, range
#                                              2-4, or a piece of a name)
# A version not found is skipped and named, unless QX_REQUIRE_PYTHONS lists
# it (.ci/run sets it to "all"): then the run fails.
set -euo pipefail
exec /usr/bin/python3 "$(dirname "$0")/qx_test.py" "$@"
