#!/usr/bin/env bash
# Line and branch coverage of the library (src/) by the whole test suite:
# builds with -DMEKAL_COVERAGE=ON in its own directory, runs ctest, and has
# gcovr report per file and in total. Exits non-zero when a test fails or
# when coverage is under the floor.
#
# Needs: cmake, g++, GoogleTest, gcovr (5.x), and what the suite needs.
# Environment: BUILD_DIR (default build-coverage), JOBS (default 2),
# MIN_LINES (default 95), MIN_BRANCHES (default 90), in percent.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build-coverage}
JOBS=${JOBS:-2}
MIN_LINES=${MIN_LINES:-95}
MIN_BRANCHES=${MIN_BRANCHES:-90}
if ! command -v gcovr >/dev/null; then
  echo "coverage: gcovr is missing (apt-get install gcovr)" >&2
  exit 2
fi

section() { printf '\n==== %s ====\n' "$*"; }

section "coverage build ($BUILD_DIR)"
# gcc: gcovr reads gcc's counters through gcov. -O0 comes with the option.
cmake -S . -B "$BUILD_DIR" -DMEKAL_COVERAGE=ON -DMEKAL_WERROR=ON -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ >/dev/null
cmake --build "$BUILD_DIR" -j"$JOBS"

section "test suite"
# Counts left by an earlier run would be added to this one's.
find "$BUILD_DIR" -name '*.gcda' -delete
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$JOBS"

section "coverage of src/"
# Branches that only exception unwinding or the compiler's own code take are
# not the library's: it is built without exceptions.
gcovr_args=(--root . --filter 'src/' --exclude-unreachable-branches --exclude-throw-branches
            -j "$JOBS" "$BUILD_DIR")
# gcovr 5.2 hangs when a gcov file fails to parse with -j: bound every run so
# that such a hang fails this check instead of the whole CI's time.
gcovr_bin=$(command -v gcovr)
gcovr() { timeout 600 "$gcovr_bin" "$@"; }
gcovr "${gcovr_args[@]}"
gcovr "${gcovr_args[@]}" --branches
rc=0
# The summary goes to stdout; the report file stays in the build tree. Never
# hand gcovr a device as its output: it unlinks the path it checks.
gcovr "${gcovr_args[@]}" --print-summary --output "$BUILD_DIR/coverage-summary.txt" \
  --fail-under-line "$MIN_LINES" --fail-under-branch "$MIN_BRANCHES" || rc=$?
case $rc in
  0) echo "coverage: at or above ${MIN_LINES}% of lines and ${MIN_BRANCHES}% of branches" ;;
  2) echo "coverage: lines under ${MIN_LINES}%" >&2 ;;
  4) echo "coverage: branches under ${MIN_BRANCHES}%" >&2 ;;
  6) echo "coverage: lines under ${MIN_LINES}% and branches under ${MIN_BRANCHES}%" >&2 ;;
  *) echo "coverage: gcovr failed ($rc)" >&2 ;;
esac

section "coverage of tools/ (reported, no floor)"
# The recorder runs preloaded in many processes at once, which can leave a
# torn counter (gcov prints "taken -1"): that file is skipped, not fatal.
gcovr --root . --filter 'tools/' --exclude-unreachable-branches --exclude-throw-branches \
  --gcov-ignore-parse-errors -j "$JOBS" --print-summary --output "$BUILD_DIR/coverage-tools.txt" "$BUILD_DIR" ||
  echo "coverage: gcovr failed on tools/" >&2
exit $rc
