#!/usr/bin/env bash
# The library, its tests and examples built with clang, warnings as errors,
# and the suite run on that build. Its artefact_test checks that the
# library's calls to its own exported functions still go through the PLT,
# which clang only keeps with -fsemantic-interposition: a program's own
# definition of one of them must be the one the library calls.
#
# Needs: cmake, clang, GoogleTest, binutils, and what the suite needs.
# Environment: BUILD_DIR (default build-clang), JOBS (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build-clang}
JOBS=${JOBS:-2}

section() { printf '\n==== %s ====\n' "$*"; }

section "clang build (-Werror) of library, tests and examples ($(clang++ --version | head -1))"
cmake -S . -B "$BUILD_DIR" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DMEKAL_WERROR=ON >/dev/null
cmake --build "$BUILD_DIR" -j"$JOBS"

section "test suite (clang build)"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$JOBS"
