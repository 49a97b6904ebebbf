#!/usr/bin/env bash
# Runs the cross-built tests of the manager's Win32 seams (vmdsmgr_win32_tests.exe) in a fresh
# Wine prefix: the real service database (register with a quoted path that has blanks, start,
# restart, delete) and the real file system.
# Usage: run_win32_tests.sh WINDOWS_BIN_DIR REPO_ROOT
set -u
bin="$1"
root="$2"
source "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
wine_env_start || exit 1

for exe in vmdsmgr_win32_tests.exe vmds_test_service.exe; do
  [[ -f "$bin/$exe" ]] || { echo "missing $bin/$exe" >&2; exit 1; }
done
cd "$bin" || exit 1
wine_run 180 ./vmdsmgr_win32_tests.exe
