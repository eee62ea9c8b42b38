#!/usr/bin/env bash
# Static analysis of the library and the tools (the recorder, mekal-run,
# mekal-diff, mekal-db): clang-tidy with the checked-in .clang-tidy through the compile
# database, then cppcheck.
# Exits non-zero on any finding of either tool.
#
# Needs: cmake, clang, clang-tidy (14), cppcheck (2.10), libsqlite3-dev
# (the tools' build), and MPI (libopenmpi-dev) for the MPI build's sources.
# Environment: BUILD_DIR (default build-tidy), JOBS (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build-tidy}
JOBS=${JOBS:-2}
CLANG_TIDY=$(command -v clang-tidy-14 || command -v clang-tidy || true)
for tool in "$CLANG_TIDY" cppcheck clang++ cmake; do
  if [[ -z "$tool" ]] || ! command -v "$tool" >/dev/null; then
    echo "static_analysis: missing tool ${tool:-clang-tidy}" >&2
    exit 2
  fi
done

section() { printf '\n==== %s ====\n' "$*"; }
status=0

section "clang-tidy ($("$CLANG_TIDY" --version | grep -o 'version [0-9.]*'))"
# Configured with clang so that every flag in the database is one clang-tidy
# understands; nothing is built. The tests are left out, so GoogleTest need
# not be installed.
cmake -S . -B "$BUILD_DIR" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DMEKAL_BUILD_TESTS=OFF -DMEKAL_BUILD_EXAMPLES=OFF -DMEKAL_INSTALL=OFF >/dev/null
# The MPI build's sources (*_mpi.cpp, the recorder's mpi_hooks.cpp) are
# compiled only there: they are analysed through that build's database.
cmake -S . -B "$BUILD_DIR-mpi" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DMEKAL_MPI=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DMEKAL_BUILD_TESTS=OFF -DMEKAL_BUILD_EXAMPLES=OFF -DMEKAL_INSTALL=OFF >/dev/null
# One process per file: clang-tidy 14 carries the va_list checker's state
# from one translation unit to the next, and then reports every va_arg of a
# later file as reading an uninitialised list.
tidy_log="$BUILD_DIR/clang-tidy.log"
if ! find src tools -name '*.cpp' ! -name '*_mpi.cpp' ! -name 'mpi_hooks.cpp' -print0 | sort -z |
     xargs -0 -n1 -P"$JOBS" "$CLANG_TIDY" -p "$BUILD_DIR" --quiet >"$tidy_log" 2>&1; then
  status=1
fi
if ! find src tools \( -name '*_mpi.cpp' -o -name 'mpi_hooks.cpp' \) -print0 | sort -z |
     xargs -0 -n1 -P"$JOBS" "$CLANG_TIDY" -p "$BUILD_DIR-mpi" --quiet >>"$tidy_log" 2>&1; then
  status=1
fi
# Drop clang-tidy's own chatter ("N warnings generated", suppressed counts).
grep -vE '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^$' \
  "$tidy_log" || true
if [[ $status -eq 0 ]]; then
  echo "clang-tidy: no findings in $(find src tools -name '*.cpp' | wc -l) files"
else
  echo "clang-tidy: findings above" >&2
fi

section "cppcheck ($(cppcheck --version))"
if cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr \
     --std=c++20 --quiet -j"$JOBS" -I include -I src src/ tools/; then
  echo "cppcheck: no findings"
else
  echo "cppcheck: findings above" >&2
  status=1
fi

exit $status
