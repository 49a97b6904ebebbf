#!/usr/bin/env bash
# Benchmarks VMDSMgr.exe under Wine with 255 instances: its start-up against an empty start (the
# master only), and one state refresh. Not part of the tests: the figures depend on the machine
# and are never pass/fail.
#
#   bash scripts/bench-manager.sh [--instances N] [--rounds N] [--ticks N]
#
# In a throw-away Wine prefix (scripts/wine-env.sh, with Xvfb) it lays out two manager
# directories: "C:\Bench Empty" with the master vmds.ini only, and "C:\Bench Full" with the master
# and N instances (default 255), each in its own directory with its vmds.ini, a vmds.exe (hard
# links of one file where possible) and a vmds.prom as a server leaves it (a third of them after a failure); the
# master's and every instance's service are registered (stopped) by bench/vmdsmgr_bench.exe.
# Then vmdsmgr_bench.exe
#   - starts each manager in turn, --rounds times (default 7), and times from process creation
#     until its window shows every row with the State column filled (the first refresh ran);
#   - starts the full manager once more and sends its window --ticks refresh ticks (default 20),
#     with the status files unchanged and with every one of them changed before each tick;
#   - times the Win32 calls of one refresh alone (no manager): what Wine's calls cost.
# Builds the Windows preset's VMDSMgr, vmds and vmdsmgr_bench first. Stops by itself after 600 s
# at most; the prefix is removed on every exit path.
set -uo pipefail

if [[ -z "${VMDS_BENCH_MANAGER_BOUNDED:-}" ]]; then
  export VMDS_BENCH_MANAGER_BOUNDED=1
  exec timeout --kill-after=10 600 bash "$0" "$@"
fi

cd "$(dirname "$0")/.." || exit 1
repo=$(pwd)
instances=255 rounds=7 ticks=20
while (($#)); do
  case "$1" in
    --instances) instances=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --ticks) ticks=$2; shift 2 ;;
    *) echo "usage: $0 [--instances N] [--rounds N] [--ticks N]" >&2; exit 2 ;;
  esac
done
if ! [[ "$instances" =~ ^[0-9]+$ ]] || ((instances < 1 || instances > 255)); then
  echo "--instances: 1 to 255" >&2
  exit 2
fi

bash scripts/build-mbedtls-mingw.sh || exit 1
cmake --preset windows >/dev/null || exit 1
cmake --build --preset windows --target VMDSMgr vmds vmdsmgr_bench -- -j2 >/dev/null || exit 1
bin=$repo/build/windows/bin

# shellcheck source=scripts/wine-env.sh
source "$repo/scripts/wine-env.sh"
trap wine_env_stop EXIT
trap 'exit 130' INT TERM

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg) (2 cores)"
wine_env_start --display || exit 1
drive_c=$(wine_drive_c)

crlf() { sed 's/$/\r/'; }
# A program file in the prefix: a hard link where the prefix shares the build's file system.
place() { ln "$1" "$2" 2>/dev/null || cp "$1" "$2"; }

# Settings of one startup file after the lines that differ between the master and an instance.
settings() {  # TCP_PORT COM_PORT
  cat <<EOF
 
 
DebugEnabled=No
LogFilename=.\\vmds.log
TCPPort=$1
COMPort=$2
COMPortBitRate=9600
COMPortDataBits=8
COMPortParity=NOPARITY
COMPortStopBits=ONESTOPBIT
DropDTRonSocketClose=No
DropRTSonSocketClose=No
MaxConnectTime=0
IdleTimeout=120
EOF
}

master_ini() {  # DIRECTORY COUNT NAMES_LIST
  cat <<EOF
[Daltrimore Velmora Device Server - Instance Manager - Master]
 
# DO NOT CHANGE THE NEXT EIGHT VARIABLES - THEY ARE UNDER PROGRAM CONTROL
FirstTimeRun=False
InstallDir=$1
MasterInstance=True
NumberofInstancesInstalled=$2
InstanceNamesList=$3
InstanceName=Master
ServiceName=Daltrimore_VMDS_Mstr
ServiceDisplayName=Daltrimore VMDS Mstr
EOF
  settings 6100 COM1
  echo "UserManualFilename=VMDS User Manual.pdf"
}

instance_ini() {  # DIRECTORY NAME TCP_PORT COM_PORT
  cat <<EOF
[Daltrimore Velmora Device Server - Instance Manager - Instance - $2]
 
# DO NOT CHANGE THE NEXT FIVE VARIABLES - THEY ARE UNDER PROGRAM CONTROL
InstallDir=$1\\$2
MasterInstance=False
InstanceName=$2
ServiceName=Daltrimore_VMDS_${2// /_}
ServiceDisplayName=Daltrimore VMDS $2
EOF
  settings "$3" "$4"
}

# A status file as a server leaves it when it stopped: after a session ended by the stop, or
# after a failure that ended it.
status_file() {  # NAME TCP_PORT COM_PORT failed|stopped
  local l="instance=\"$1\",com_port=\"$3\",tcp_port=\"$2\"" state
  echo "# HELP vmds_build_info The device server's version."
  echo "# TYPE vmds_build_info gauge"
  echo "vmds_build_info{$l,version=\"4.0.0.84\"} 1"
  echo "# HELP vmds_start_time_seconds When the device server started (Unix time)."
  echo "# TYPE vmds_start_time_seconds gauge"
  echo "vmds_start_time_seconds{$l} 1796690000"
  echo "# HELP vmds_state The device server's state: 1 for the current one."
  echo "# TYPE vmds_state gauge"
  for state in starting listening connected stopping failed; do
    if [[ $state == "$4" || ($4 == stopped && $state == stopping) ]]; then
      echo "vmds_state{$l,state=\"$state\"} 1"
    else
      echo "vmds_state{$l,state=\"$state\"} 0"
    fi
  done
  echo "# HELP vmds_client_connected Whether a client is connected."
  echo "# TYPE vmds_client_connected gauge"
  echo "vmds_client_connected{$l} 0"
  echo "# HELP vmds_sessions_total Sessions since start, by how they ended."
  echo "# TYPE vmds_sessions_total counter"
  for reason in client_closed idle_timeout max_connect_time close_command error stop; do
    echo "vmds_sessions_total{$l,reason=\"$reason\"} 3"
  done
  echo "# HELP vmds_device_bytes_total Bytes written to the device."
  echo "# TYPE vmds_device_bytes_total counter"
  echo "vmds_device_bytes_total{$l} 123456"
  echo "# HELP vmds_client_bytes_total Bytes sent to the client."
  echo "# TYPE vmds_client_bytes_total counter"
  echo "vmds_client_bytes_total{$l} 654321"
  echo "# HELP vmds_dropped_bytes_total Bytes dropped."
  echo "# TYPE vmds_dropped_bytes_total counter"
  echo "vmds_dropped_bytes_total{$l} 0"
  if [[ $4 == failed ]]; then
    echo "# HELP vmds_exit_code The exit code of the failure that ended the server."
    echo "# TYPE vmds_exit_code gauge"
    echo "vmds_exit_code{$l} 11"
    echo "# HELP vmds_failure_info The reason of that failure."
    echo "# TYPE vmds_failure_info gauge"
    echo "vmds_failure_info{$l,reason=\"port not opened\"} 1"
  fi
}

# The two manager directories.
empty_win='C:\Bench Empty' full_win='C:\Bench Full'
empty_dir="$drive_c/Bench Empty" full_dir="$drive_c/Bench Full"
mkdir -p "$empty_dir" "$full_dir" || exit 1
names=()
for ((i = 1; i <= instances; i++)); do names+=("$(printf 'Bench %03d' "$i")"); done
list=$(IFS=%; echo "${names[*]}")
master_ini "$empty_win" 0 "" | crlf >"$empty_dir/vmds.ini"
master_ini "$full_win" "$instances" "$list" | crlf >"$full_dir/vmds.ini"
for dir in "$empty_dir" "$full_dir"; do
  place "$bin/VMDSMgr.exe" "$dir/VMDSMgr.exe" && place "$bin/vmds.exe" "$dir/vmds.exe" || exit 1
  status_file Master 6100 COM1 stopped >"$dir/vmds.prom"
done
for ((i = 1; i <= instances; i++)); do
  name=${names[i - 1]} dir="$full_dir/${names[i - 1]}"
  mkdir "$dir" && place "$bin/vmds.exe" "$dir/vmds.exe" || exit 1
  instance_ini "$full_win" "$name" $((7000 + i)) "COM$i" | crlf >"$dir/vmds.ini"
  state=stopped
  ((i % 3 == 0)) && state=failed
  status_file "$name" $((7000 + i)) "COM$i" "$state" >"$dir/vmds.prom"
done
echo "laid out: $empty_win (master only) and $full_win (master and $instances instances)"

place "$bin/vmdsmgr_bench.exe" "$drive_c/vmdsmgr_bench.exe" || exit 1
bench='C:\vmdsmgr_bench.exe'
wine_run 300 "$bench" register "$full_win" Master "${names[@]}" || exit 1

echo "start-up until every row shows its state, $rounds rounds (ms):"
wine_run 500 "$bench" startup "$rounds" 60 "$empty_win\\VMDSMgr.exe:1" \
  "$full_win\\VMDSMgr.exe:$((instances + 1))" || exit 1
wine_run 200 "$bench" refresh "$ticks" 60 "$full_win\\VMDSMgr.exe" $((instances + 1)) || exit 1
wine_run 120 "$bench" seams "$ticks" "$full_win" || exit 1
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg) (2 cores)"
