#!/usr/bin/env bash
# Installs the device server on Linux and sets up one instance as a systemd service.
#
#   sudo bash scripts/install-linux.sh INSTANCE SERIAL_PORT TCP_PORT [options]
#
# INSTANCE     letters, digits, "_", "-" and "." (not first): the unit is vmds@INSTANCE and the
#              instance directory /var/lib/vmds/INSTANCE
# SERIAL_PORT  a device path such as /dev/ttyUSB0 (it must exist), or COMn (/dev/ttyS<n-1>)
# TCP_PORT     1 to 65535; no other instance may use it or the serial port
#
# Options:
#   --bit-rate N    the line's bit rate (default 9600); 8 data bits, no parity, 1 stop bit
#   --binary PATH   install this vmds instead of building the "linux" preset
#   --no-start      enable the unit but do not start it now
#
# Environment: DESTDIR lays everything out under that directory instead of / (no user, owner,
# or systemctl changes then); PREFIX is where the program's template copy goes (/usr/local).
#
# Lays out:
#   $PREFIX/lib/vmds/vmds                 the program (each instance runs its own copy)
#   /etc/systemd/system/vmds@.service     the unit template (replaced by each run)
#   /var/lib/vmds/INSTANCE/vmds           the instance's copy of the program
#   /var/lib/vmds/INSTANCE/vmds.ini       its settings (an existing one is kept)
# and, on the real system, the system user "vmds" (group dialout) that the unit runs as, then
# enables vmds@INSTANCE (and starts it). Running it again for an existing instance updates its
# program copy and the unit and keeps its vmds.ini.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)

fail() {
  echo "install-linux: $*" >&2
  exit 1
}
usage() {
  sed -n '2,/^set -euo/p' "$0" | sed -e '/^set -euo/d' -e 's/^# \{0,1\}//' >&2
  exit 2
}

binary="" start=1 bit_rate=9600 args=()
while (($#)); do
  case $1 in
    --binary) (($# >= 2)) || usage; binary=$2; shift 2 ;;
    --bit-rate) (($# >= 2)) || usage; bit_rate=$2; shift 2 ;;
    --no-start) start=0; shift ;;
    -h|--help) usage ;;
    --*) fail "unknown option $1" ;;
    *) args+=("$1"); shift ;;
  esac
done
((${#args[@]} == 3)) || usage
instance=${args[0]} serial=${args[1]} tcp=${args[2]}
destdir=${DESTDIR:-}
prefix=${PREFIX:-/usr/local}
destdir=${destdir%/}

# ---- Checks: nothing is written before all of them passed ----------------------------------
[[ $instance =~ ^[A-Za-z0-9_-][A-Za-z0-9_.-]{0,63}$ ]] ||
  fail "instance name '$instance': use 1 to 64 letters, digits, '_', '-' or '.' (not first)"
[[ $tcp =~ ^[0-9]{1,5}$ ]] && ((10#$tcp >= 1 && 10#$tcp <= 65535)) ||
  fail "TCP port '$tcp': give a number from 1 to 65535"
tcp=$((10#$tcp))
[[ $bit_rate =~ ^[0-9]{2,7}$ ]] || fail "bit rate '$bit_rate': give a number such as 9600"
# COMn is the device /dev/ttyS<n-1>, as the server opens it.
device_of() {
  if [[ $1 =~ ^COM([0-9]{1,3})$ ]] && ((10#${BASH_REMATCH[1]} >= 1 && 10#${BASH_REMATCH[1]} <= 255)); then
    echo "/dev/ttyS$((10#${BASH_REMATCH[1]} - 1))"
  elif [[ $1 == /dev/* ]]; then
    echo "$1"
  fi
}
((${#serial} <= 254)) || fail "serial port: a device path has at most 254 characters"
device=$(device_of "$serial")
[[ -n $device ]] ||
  fail "serial port '$serial': give a device path such as /dev/ttyUSB0, or COM1 to COM255"
# The device is looked for on this machine, also with DESTDIR: the unit will open it here.
[[ -c $device ]] || fail "serial port $serial: $device is not a character device on this machine"

state_dir=$destdir/var/lib/vmds
instance_dir=$state_dir/$instance
ini=$instance_dir/vmds.ini
# Another instance with the same TCP port or serial port would fail at every start.
if [[ -d $state_dir ]]; then
  for other in "$state_dir"/*/vmds.ini; do
    [[ -f $other && $other != "$ini" ]] || continue
    name=$(basename "$(dirname "$other")")
    other_tcp=$(tr -d '\r' <"$other" | sed -n 's/^TCPPort=//p' | head -n1)
    other_serial=$(tr -d '\r' <"$other" | sed -n 's/^COMPort=//p' | head -n1)
    [[ $other_tcp =~ ^[0-9]{1,5}$ ]] && ((10#$other_tcp == tcp)) &&
      fail "TCP port $tcp is already used by the instance '$name' ($other)"
    [[ -n $other_serial && $(device_of "$other_serial") == "$device" ]] &&
      fail "serial port $serial is already used by the instance '$name' ($other)"
  done
fi

if [[ -z $binary ]]; then
  echo "== Building the device server (preset linux)"
  bash "$repo/scripts/setup.sh"
  cmake --preset linux -S "$repo" >/dev/null
  cmake --build "$repo/build/linux" --target vmds
  binary=$repo/build/linux/bin/vmds
fi
[[ -f $binary && -x $binary ]] || fail "no executable vmds at $binary"

# ---- Files ---------------------------------------------------------------------------------
echo "== Installing into ${destdir:-/}"
install -d -m 0755 "$destdir$prefix/lib/vmds" "$destdir/etc/systemd/system" "$state_dir"
install -m 0755 "$binary" "$destdir$prefix/lib/vmds/vmds"
install -m 0644 "$repo/packaging/linux/vmds@.service" "$destdir/etc/systemd/system/vmds@.service"
install -d -m 0750 "$instance_dir"
install -m 0755 "$destdir$prefix/lib/vmds/vmds" "$instance_dir/vmds"
if [[ -e $ini ]]; then
  echo "Kept the existing $ini"
else
  tmp=$(mktemp "$instance_dir/.vmds.ini.XXXXXX")
  cat >"$tmp" <<INI
[Daltrimore Velmora Device Server - Instance Manager - Instance - $instance]
TCPPort=$tcp
COMPort=$serial
COMPortBitRate=$bit_rate
COMPortDataBits=8
COMPortParity=NOPARITY
COMPortStopBits=ONESTOPBIT
DropDTRonSocketClose=No
DropRTSonSocketClose=No
MaxConnectTime=0
IdleTimeout=120
DebugEnabled=No
INI
  chmod 0640 "$tmp"
  mv "$tmp" "$ini"
  echo "Wrote $ini"
fi

if [[ -n $destdir ]]; then
  echo "Laid out under $destdir; on the target: useradd, chown and 'systemctl enable vmds@$instance'"
  exit 0
fi

# ---- The real system: user, owners, unit ---------------------------------------------------
if ! getent passwd vmds >/dev/null; then
  useradd --system --user-group --groups dialout --home-dir /var/lib/vmds --no-create-home \
    --shell /usr/sbin/nologin --comment "Velmora Device Server" vmds
  echo "Created the system user vmds (group dialout)"
fi
chown root:root "$instance_dir/vmds"
chown vmds:vmds "$instance_dir"
chown root:vmds "$ini"
if [[ -d /run/systemd/system ]]; then
  systemctl daemon-reload
  systemctl enable "vmds@$instance.service"
  # A restart also brings an existing instance onto the program copy just installed.
  if ((start)); then systemctl restart "vmds@$instance.service"; fi
  echo "vmds@$instance is enabled: systemctl status vmds@$instance; log: $instance_dir/vmds.log"
else
  echo "systemd is not running here: start the instance with 'systemctl enable --now vmds@$instance' on a systemd system"
fi
