#!/usr/bin/env bash
# Builds the device server natively and runs it on TCP port 6100, bridged to a simulated sensor
# on a pseudo-terminal (no serial hardware needed), with debug logging on. Ctrl+C stops both.
#
# A pseudo-terminal has no modem-control lines, so the server runs with the small preload library
# of the tests that emulates DTR/RTS on pseudo-terminals. With a real device no preload is needed:
# put vmds next to a vmds.ini naming the port (COMPort=COM1 for /dev/ttyS0, or a device path such
# as /dev/ttyUSB0) and start it there.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
port=${VMDS_PORT:-6100}

bash scripts/setup.sh
cmake --preset linux -DBUILD_TESTING=OFF >/dev/null
cmake --build --preset linux --target vmds vmds_sensor_sim vmds_modem_shim

instance="$root/build/run-instance"
mkdir -p "$instance"
cp "$root/build/linux/bin/vmds" "$instance/vmds"
cat > "$instance/vmds.ini" <<INI
[Daltrimore Velmora Device Server - Instance Manager - Master]
 
DebugEnabled=Yes
LogFilename=.\\vmds.log
TCPPort=$port
COMPort=$instance/ttySIM
COMPortBitRate=9600
COMPortDataBits=8
COMPortParity=NOPARITY
COMPortStopBits=ONESTOPBIT
DropDTRonSocketClose=No
DropRTSonSocketClose=No
MaxConnectTime=0
IdleTimeout=120
INI
sed -i 's/$/\r/' "$instance/vmds.ini"

sensor_pid=""
server_pid=""
cleanup() {
  trap - INT TERM EXIT
  [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  [ -n "$sensor_pid" ] && kill -TERM "$sensor_pid" 2>/dev/null && wait "$sensor_pid" 2>/dev/null
  echo
  echo "Stopped. The log stays in $instance/vmds.log"
}
trap cleanup INT TERM EXIT

"$root/build/linux/bin/vmds_sensor_sim" "$instance/ttySIM" 5 &
sensor_pid=$!
for _ in $(seq 1 50); do [ -e "$instance/ttySIM" ] && break; sleep 0.1; done

shim=$(find "$root/build/linux" -name 'libvmds_modem_shim.so' | head -n 1)
( cd "$instance" && exec env LD_PRELOAD="$shim" VMDS_MODEM_LOG="$instance/modem-lines.log" ./vmds ) &
server_pid=$!

cat <<TXT

Device server running on TCP port $port, bridged to a simulated sensor.
  Connect:   nc localhost $port      (type text: the sensor echoes it; "READ" + Enter asks for a
                                      reading; it also sends one every 5 seconds)
  Close:     send exactly SSSP=0 (e.g. printf 'SSSP=0' | nc -q1 localhost $port)
  Log:       $instance/vmds.log      (tail -f it to watch the traffic dumps)
Press Ctrl+C to stop.
TXT
wait "$server_pid" || true
server_pid=""
