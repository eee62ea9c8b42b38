#!/usr/bin/env bash
# The library, its tests and examples built with clang, warnings as errors,
# and the suite run on that build. Also checks that the library's calls to
# its own exported functions still go through the PLT, which clang only
# keeps with -fsemantic-interposition: a program's own definition of one of
# them must be the one the library calls.
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

section "exported functions the library calls itself, through the PLT"
library="$BUILD_DIR/libmekal.so"
slots=$(readelf -rW "$library" | awk '$3 ~ /JUMP_SLOT$/ {print $5}' | sed 's/@.*//' | sort -u)
missing=()
for symbol in melsys_clock_realtime melsys_curtime melsys_starttime melsys_get_times \
              melsys_get_executable melsys_get_cmdline_buffer melsys_get_cwd melsys_get_names \
              melsys_hostname melsys_get_libraries melsys_get_public_mekal_symbol \
              mekal_raw_namevalue mekal_namevalue mekal_get_basetype mekal_cmdline mekal_libraries \
              melsys_cpu_model melsys_cpus_online melsys_cpus_allowed melsys_cpu_cache \
              melsys_cpu_governor melsys_loadavg melsys_memory_total melsys_os_release \
              melsys_uname melsys_page_size melsys_get_environment; do
  grep -qx "$symbol" <<<"$slots" || missing+=("$symbol")
done
if [[ ${#missing[@]} -ne 0 ]]; then
  echo "bound locally, not through the PLT: ${missing[*]}" >&2
  exit 1
fi
echo "all 27 self-called exports have a JUMP_SLOT relocation"

section "test suite (clang build)"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$JOBS"
