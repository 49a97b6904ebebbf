#!/usr/bin/env bash
# Sets up, builds everything and runs every test layer:
#   unit and integration tests natively under AddressSanitizer and UBSan, then the Windows
#   programs cross-built with MinGW-w64 and tested under Wine (a private prefix per test).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh --all

jobs=$(nproc 2>/dev/null || echo 2)

echo "== Windows build (MinGW-w64)"
bash scripts/build-mbedtls-mingw.sh
cmake --preset windows -DVMDS_REQUIRE_INSTALLER=ON >/dev/null
cmake --build --preset windows -j "$jobs"

echo "== Native build (ASan + UBSan)"
cmake --preset linux-asan -DVMDS_WINDOWS_BIN_DIR="$root/build/windows/bin" >/dev/null
cmake --build --preset linux-asan -j "$jobs"

echo "== Tests"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
ctest --test-dir build/linux-asan --output-on-failure --timeout 600 -j "$jobs"
