#!/usr/bin/env bash
# End-to-end test of the real VMDSMgr.exe under Wine and Xvfb, driven by vmdsmgr_driver.exe: the
# first run, Save, a refused port, switching and closing with unsaved edits, a second copy, adding
# and removing instances, the About box, then vmdsremove.exe.
#
#   vmdsmgr_gui_test.sh BIN_DIR SHIM SCREENSHOT ADD_SHOT INSTANCES_SHOT
#
# BIN_DIR     directory of the cross-built Windows executables (VMDSMgr.exe, vmds.exe, the shipped
#             vmds.ini, vmdsremove.exe, vmdsmgr_driver.exe)
# SHIM        the modem-control shim (libvmds_modem_shim.so); the prefix boots with it preloaded so
#             that the services can drive DTR/RTS on the pseudo-terminals behind COM1 to COM3
# SCREENSHOT  where to keep a PNG of the main window (taken in the second run, two instances)
# ADD_SHOT, INSTANCES_SHOT
#             PNGs of the filled Add New Instance dialog and of the main window with two added
#             instances (fourth run)
#
# The prefix, its processes, Xvfb and the temp dir are removed on every exit path.
set -u

if (($# != 5)); then
  echo "usage: $0 BIN_DIR SHIM SCREENSHOT ADD_SHOT INSTANCES_SHOT" >&2
  exit 2
fi
bin_dir=$1 shim=$2
shift 2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../../.." && pwd)

for file in VMDSMgr.exe vmds.exe vmds.ini vmdsremove.exe vmdsmgr_driver.exe; do
  if [[ ! -f "$bin_dir/$file" ]]; then
    echo "no $file in $bin_dir" >&2
    exit 1
  fi
done
if ! command -v import >/dev/null; then
  echo "ImageMagick's import is missing (scripts/setup.sh --all installs it)" >&2
  exit 1
fi

# shellcheck source=scripts/wine-env.sh
source "$repo/scripts/wine-env.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/vmdsmgr-gui.XXXXXX")
# shellcheck disable=SC2317  # called by the trap
cleanup() {
  wine_env_stop
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export VMDS_MODEM_LOG="$work/modem.log"
wine_env_start --display --preload "$shim" || exit 1

# The scenario's own waits are bounded; this time-out only guards against a fault in the script.
wine_env_scenario 300 python3 "$here/vmdsmgr_gui_test.py" --bin-dir "$bin_dir" --repo "$repo" \
  --work "$work" --screenshots "$@"
