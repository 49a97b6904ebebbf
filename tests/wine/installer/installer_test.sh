#!/usr/bin/env bash
# The Windows installer under Wine and Xvfb: silent install into a folder with blanks, the
# installed manager's first start, an upgrade that keeps vmds.ini, the silent uninstaller while a
# service stays registered and once it is gone.
#
#   installer_test.sh SETUP_EXE BIN_DIR SHIM
#
# SETUP_EXE  the installer built by makensis (build/windows/installer/...)
# BIN_DIR    directory of the cross-built test programs (vmdsmgr_driver.exe, service_recovery.exe,
#            service_holder.exe) and of the shipped vmds.ini
# SHIM       the modem-control shim; the prefix boots with it so that the services can drive
#            DTR/RTS on the pseudo-terminals behind COM1 and COM2
#
# The prefix, its processes, Xvfb and the temp dir are removed on every exit path.
set -u

if (($# != 3)); then
  echo "usage: $0 SETUP_EXE BIN_DIR SHIM" >&2
  exit 2
fi
setup=$1 bin_dir=$2 shim=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../../.." && pwd)
for file in "$setup" "$bin_dir/vmdsmgr_driver.exe" "$bin_dir/service_recovery.exe" \
            "$bin_dir/service_holder.exe" "$bin_dir/vmds.ini"; do
  if [[ ! -f "$file" ]]; then
    echo "missing: $file" >&2
    exit 1
  fi
done

# shellcheck source=scripts/wine-env.sh
source "$repo/scripts/wine-env.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/vmds-installer.XXXXXX")
# shellcheck disable=SC2317  # called by the trap
cleanup() {
  wine_env_stop
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export VMDS_MODEM_LOG="$work/modem.log"
wine_env_start --display --preload "$shim" || exit 1
wine_env_scenario 600 python3 "$here/installer_test.py" --setup "$setup" --bin-dir "$bin_dir" \
  --repo "$repo" --work "$work"
