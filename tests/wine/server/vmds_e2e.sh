#!/usr/bin/env bash
# End-to-end test of the real vmds.exe under Wine: one scenario in a fresh prefix.
#
#   vmds_e2e.sh BIN_DIR SHIM SCENARIO
#
# BIN_DIR   directory of the cross-built Windows executables (holds vmds.exe)
# SHIM      the modem-control shim (libvmds_modem_shim.so); the prefix boots with it preloaded so
#           that every service gets it and DTR/RTS work on the pseudo-terminal behind COM5
# SCENARIO  service-host | missing-port | data-path | stalled-device | client-endings |
#           status-file | allowed-clients | remote-port-control | tls
#           (see vmds_e2e.py)
#
# The prefix, its processes, Xvfb (not used here) and the temp dir are removed on every exit path.
set -u

if (($# != 3)); then
  echo "usage: $0 BIN_DIR SHIM SCENARIO" >&2
  exit 2
fi
bin_dir=$1 shim=$2 scenario=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../../.." && pwd)

if [[ ! -f "$bin_dir/vmds.exe" ]]; then
  echo "no vmds.exe in $bin_dir" >&2
  exit 1
fi

# shellcheck source=scripts/wine-env.sh
source "$repo/scripts/wine-env.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/vmds-e2e.XXXXXX")
# shellcheck disable=SC2317  # called by the trap
cleanup() {
  wine_env_stop
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Every exported variable reaches the services through the command that boots the prefix.
export VMDS_MODEM_LOG="$work/modem.log"
export VMDS_MODEM_INPUT="$work/modem-input.txt"
# What the services give ReportEvent (Wine keeps no event log, it traces the calls).
eventlog_trace="$work/eventlog.trace"
wine_env_start --preload "$shim" --trace eventlog "$eventlog_trace" || exit 1

# The driver's own waits are bounded; the time-out here only guards against a fault in it.
# The system Python: its pyserial (python3-serial) is the remote port control client.
budget=200
[[ $scenario == tls ]] && budget=500
wine_env_scenario "$budget" /usr/bin/python3 "$here/vmds_e2e.py" "$scenario" --bin-dir "$bin_dir" \
  --work "$work" --modem-log "$VMDS_MODEM_LOG" --modem-input "$VMDS_MODEM_INPUT" --eventlog-trace "$eventlog_trace"
rc=$?
if ((rc != 0)) && [[ -s "$VMDS_MODEM_LOG" ]]; then
  echo "---- modem lines"
  cat "$VMDS_MODEM_LOG"
fi
exit "$rc"
