#!/usr/bin/env bash
# Starts the instance manager VMDSMgr.exe under Wine for a look at it: a throw-away Wine prefix,
# the programs in "C:\Program Files\Velmora VMDS", COM1 bridged to the simulated sensor on a
# pseudo-terminal. The manager's first start registers and starts the master service (TCP port
# 6100): `nc localhost 6100` then talks to the sensor.
#
# With a desktop (DISPLAY set) the window opens there. Without one it runs on a private Xvfb and
# a screenshot is written to build/manager-screen.png every two seconds.
# Closing the manager (or Ctrl+C) stops the services and removes the prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh --all
bash scripts/build-mbedtls-mingw.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target VMDSMgr vmds vmdsremove vmdsmgr_master_ini
cmake --preset linux -DBUILD_TESTING=OFF >/dev/null
cmake --build --preset linux --target vmds_sensor_sim vmds_modem_shim

# shellcheck source=scripts/wine-env.sh
source "$root/scripts/wine-env.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/vmds-manager.XXXXXX")
sensor_pid="" shots_pid=""
cleanup() {
  trap - INT TERM EXIT
  set +e
  if [[ -n "${WINEPREFIX:-}" ]]; then
    for service in $(timeout 20 wine sc query state= all 2>/dev/null |
                     sed -n 's/^SERVICE_NAME: \(Daltrimore_VMDS_.*\)$/\1/p' | tr -d '\r'); do
      timeout 30 wine sc stop "$service" >/dev/null 2>&1 || true
    done
  fi
  [[ -n "$shots_pid" ]] && kill "$shots_pid" 2>/dev/null
  wine_env_stop
  if [[ -n "$sensor_pid" ]]; then
    kill "$sensor_pid" 2>/dev/null
    wait "$sensor_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

shim=$(find "$root/build/linux" -name 'libvmds_modem_shim.so' | head -n 1)
if [[ -n "${DISPLAY:-}" ]]; then
  wine_env_start --preload "$shim" --use-display
else
  wine_env_start --preload "$shim" --display
fi

"$root/build/linux/bin/vmds_sensor_sim" "$work/ttySIM" 5 &
sensor_pid=$!
for _ in $(seq 1 50); do [[ -e "$work/ttySIM" ]] && break; sleep 0.1; done
wine_map_com 1 "$work/ttySIM"

install="$(wine_drive_c)/Program Files/Velmora VMDS"
mkdir -p "$install"
cp "$root"/build/windows/bin/{VMDSMgr.exe,vmds.exe,vmdsremove.exe,vmds.ini} "$install/"

if [[ -z "${WINE_ENV_XVFB_PID:-}" ]]; then
  echo "VMDSMgr.exe opens on $DISPLAY. Close it to end."
else
  shot="$root/build/manager-screen.png"
  echo "No desktop: VMDSMgr.exe runs on a private X server; $shot shows it (every 2 s)."
  echo "Press Ctrl+C to end."
  ( while sleep 2; do import -display "$DISPLAY" -window root "$shot.tmp.png" 2>/dev/null &&
      mv "$shot.tmp.png" "$shot"; done ) &
  shots_pid=$!
fi
# In the background, so that Ctrl+C reaches the cleanup at once.
wine "C:\\Program Files\\Velmora VMDS\\VMDSMgr.exe" >/dev/null 2>&1 &
wait $! || true
