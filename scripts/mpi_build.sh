#!/usr/bin/env bash
# The MPI build (-DMEKAL_MPI=ON): builds warning-free and runs the suite,
# whose MPI tests run under mpirun, then the MPI tests under ASan+UBSan and
# under valgrind memcheck with leaks as errors, each in a build directory of
# its own (the rest of the suite runs under both in the default build's
# checks). Exits non-zero when a build or a test fails.
#
# Needs: cmake, g++, GoogleTest, pkgconf, valgrind, and MPI (Debian:
# libopenmpi-dev openmpi-bin). mpirun may run as root: the tests allow it.
# Environment: BUILD_DIR (default build-mpi; the checked builds add -asan and
# -valgrind), JOBS (default 2), CHECKS (default "asan valgrind"; empty runs
# the plain build alone).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build-mpi}
JOBS=${JOBS:-2}
CHECKS=${CHECKS-asan valgrind}
if ! command -v mpirun >/dev/null || ! command -v mpicc >/dev/null; then
  echo "mpi_build: MPI is missing (apt-get install libopenmpi-dev openmpi-bin)" >&2
  exit 2
fi

section() { printf '\n==== %s ====\n' "$*"; }

# Configures one MPI build with the given cmake options.
configure() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DMEKAL_MPI=ON -DMEKAL_WERROR=ON "$@"
}

# Builds and runs only the MPI tests of a configured build: the library's,
# and the recorder's (mekal-run under mpirun).
mpi_tests() {
  cmake --build "$1" -j"$JOBS" --target mpi_job_test mpi_alloc_test mekal_run mekal_record \
    mpi_record_apps
  ctest --test-dir "$1" --output-on-failure -j"$JOBS" -R '^mpi_'
}

section "MPI build (-Werror) and test"
configure "$BUILD_DIR"
cmake --build "$BUILD_DIR" -j"$JOBS"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$JOBS"

for check in $CHECKS; do
  case $check in
    asan)
      section "MPI build: AddressSanitizer + UndefinedBehaviorSanitizer"
      configure "$BUILD_DIR-asan" -DMEKAL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
      ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1 mpi_tests "$BUILD_DIR-asan" ;;
    valgrind)
      section "MPI build: valgrind memcheck (leaks are errors)"
      configure "$BUILD_DIR-valgrind" -DMEKAL_VALGRIND=ON -DCMAKE_BUILD_TYPE=Debug
      mpi_tests "$BUILD_DIR-valgrind" ;;
    *)
      echo "mpi_build: unknown check '$check' (asan, valgrind)" >&2
      exit 2 ;;
  esac
done
