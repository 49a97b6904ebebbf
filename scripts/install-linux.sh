#!/usr/bin/env bash
# Installs the device server on Linux and sets up one instance as a systemd service.
#
#   sudo bash scripts/install-linux.sh INSTANCE SERIAL_PORT TCP_PORT [options]
#
# INSTANCE     letters, digits, "_", "-" and "." (not first): the unit is vmds@INSTANCE
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
#   /etc/vmds/INSTANCE/vmds               the instance's copy of the program (root's, 0755)
#   /etc/vmds/INSTANCE/vmds.ini           its settings, root:vmds 0640 (an existing one is kept)
#   /var/lib/vmds/INSTANCE/               its state: the log vmds.log and the status file
#                                         vmds.prom beside it; owned by vmds, the only place the
#                                         service may write
# and, on the real system, the system user "vmds" (group dialout) that the unit runs as, then
# enables vmds@INSTANCE (and starts it). Running it again for an existing instance updates its
# program copy and the unit and keeps its vmds.ini.
#
# Instances of the earlier layout (program and vmds.ini in /var/lib/vmds/INSTANCE, which the user
# vmds owns) are moved by any run, as the new unit template needs: each vmds.ini there is read
# with the rights of the directory's owner and never through a symbolic link, and written to
# /etc/vmds/INSTANCE with LogFilename naming the log where it was; the old files stay, unused.
# Such a vmds.ini that is a symbolic link or not a regular file stops the run before any write.
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
real=1
[[ -z $destdir ]] || real=0

# ---- Checks: nothing is written before all of them passed ----------------------------------
name_pattern='^[A-Za-z0-9_-][A-Za-z0-9_.-]{0,63}$'
[[ $instance =~ $name_pattern ]] ||
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
((!real || EUID == 0)) || fail "run it as root (sudo), or set DESTDIR to lay the files out"

conf_root=$destdir/etc/vmds
state_root=$destdir/var/lib/vmds
ini=$conf_root/$instance/vmds.ini

# Every directory the script writes in is a directory only root can change (on the real system):
# nothing is then written, moved or changed through a name another user can replace.
check_root_dir() {  # DIR (it may not exist yet)
  local uid mode
  [[ -L $1 ]] && fail "$1 is a symbolic link; it must be a directory"
  [[ -e $1 ]] || return 0
  [[ -d $1 ]] || fail "$1 is not a directory"
  if ((real)); then
    read -r uid mode < <(stat -c '%u %a' "$1")
    ((uid == 0 && (8#$mode & 8#022) == 0)) ||
      fail "$1 must belong to root and be writable by root only (it is uid $uid, mode $mode)"
  fi
}
for dir in "$destdir$prefix/lib/vmds" "$destdir/etc/systemd/system" "$conf_root" "$state_root" \
           "$conf_root/$instance"; do
  check_root_dir "$dir"
done

scratch=$(mktemp -d)  # 0700, root's: copies of settings files read from other owners' directories
trap 'rm -rf "$scratch"' EXIT

# Copies a vmds.ini to COPY: at most 64 KiB, never through a symbolic link (the open refuses one
# planted after the check too), not waiting on a pipe, and, on the real system, with the rights
# of the owner of the file's directory when that is not root (a hard link there to a file only
# root may read gives nothing).
copy_ini() {  # FILE COPY
  local file=$1 copy=$2 as=() uid gid
  [[ -L $file ]] && { echo "$file is a symbolic link, not a file"; return 1; }
  [[ -f $file ]] || { echo "$file is not a regular file"; return 1; }
  read -r uid gid < <(stat -c '%u %g' "${file%/*}")
  if ((real && uid != 0)); then as=(setpriv --reuid="$uid" --regid="$gid" --clear-groups --); fi
  "${as[@]}" timeout 10 dd if="$file" iflag=nofollow,nonblock bs=65537 count=1 \
    status=none >"$copy" 2>"$scratch/dd.err" ||
    { echo "$file cannot be read: $(cat "$scratch/dd.err")"; return 1; }
  (($(stat -c %s "$copy") <= 65536)) || { echo "$file is larger than 64 KiB"; return 1; }
}

# The other instances: those of this layout, and those of the earlier one, which this run moves.
declare -A settings=()  # instance -> its vmds.ini, or a copy of it
moving=()
if [[ -d $conf_root ]]; then
  for dir in "$conf_root"/*/; do
    dir=${dir%/} name=$(basename "$dir")
    [[ $name =~ $name_pattern && ( -e $dir/vmds.ini || -L $dir/vmds.ini ) ]] || continue
    why=$(copy_ini "$dir/vmds.ini" "$scratch/$name.ini") || fail "$why"
    settings[$name]=$scratch/$name.ini
  done
fi
if [[ -d $state_root ]]; then
  for dir in "$state_root"/*/; do
    dir=${dir%/} name=$(basename "$dir")
    [[ $name =~ $name_pattern && -z ${settings[$name]:-} ]] || continue
    [[ -e $dir/vmds.ini || -L $dir/vmds.ini ]] || continue
    why=$(copy_ini "$dir/vmds.ini" "$scratch/$name.ini") ||
      fail "$why. The instance '$name' has the earlier layout, which this run moves: make that" \
        "file a regular one (or move the directory away) and run this again. Nothing was written."
    check_root_dir "$conf_root/$name"
    settings[$name]=$scratch/$name.ini
    moving+=("$name")
  done
fi

# Another instance with the same TCP port or serial port would fail at every start.
for name in "${!settings[@]}"; do
  [[ $name != "$instance" ]] || continue
  other=${settings[$name]}
  other_tcp=$(tr -d '\r' <"$other" | sed -n 's/^TCPPort=//p' | head -n1)
  other_serial=$(tr -d '\r' <"$other" | sed -n 's/^COMPort=//p' | head -n1)
  [[ $other_tcp =~ ^[0-9]{1,5}$ ]] && ((10#$other_tcp == tcp)) &&
    fail "TCP port $tcp is already used by the instance '$name'"
  [[ -n $other_serial && $(device_of "$other_serial") == "$device" ]] &&
    fail "serial port $serial is already used by the instance '$name'"
done

# The earlier layout's log went to the instance directory, which is now its state directory: a
# relative (or missing) LogFilename becomes that path; the server takes at most 254 characters.
for name in "${moving[@]}"; do
  awk -v state="/var/lib/vmds/$name" '
    { cr = sub(/\r$/, "") }
    cr { eol = "\r\n" }
    /^LogFilename=/ {
      value = substr($0, 13)
      if (value != "" && value !~ /^\//) {
        if (value ~ /^\.[\\\/]/) value = substr(value, 3)
        value = state "/" value
        if (length(value) > 254) exit 3
        $0 = "LogFilename=" value
      }
      named = 1
    }
    { printf "%s%s", $0, (cr ? "\r\n" : "\n") }
    END { if (!named) printf "LogFilename=%s/vmds.log%s", state, (eol == "" ? "\n" : eol) }
  ' "${settings[$name]}" >"$scratch/$name.moved" ||
    fail "the instance '$name': its log path in /var/lib/vmds/$name would be longer than 254" \
      "characters; shorten LogFilename in $state_root/$name/vmds.ini and run this again"
done

if [[ -z $binary ]]; then
  echo "== Building the device server (preset linux)"
  bash "$repo/scripts/setup.sh"
  cmake --preset linux -S "$repo" >/dev/null
  cmake --build "$repo/build/linux" --target vmds
  binary=$repo/build/linux/bin/vmds
fi
[[ -f $binary && -x $binary ]] || fail "no executable vmds at $binary"

# ---- Files ---------------------------------------------------------------------------------
if ((real)) && ! getent passwd vmds >/dev/null; then
  useradd --system --user-group --groups dialout --home-dir /var/lib/vmds --no-create-home \
    --shell /usr/sbin/nologin --comment "Velmora Device Server" vmds
  echo "Created the system user vmds (group dialout)"
fi
owner=()
((real)) && owner=(-o root -g root)

echo "== Installing into ${destdir:-/}"
install -d -m 0755 "${owner[@]}" "$destdir$prefix/lib/vmds" "$destdir/etc/systemd/system" \
  "$conf_root" "$state_root"
install -m 0755 "${owner[@]}" "$binary" "$destdir$prefix/lib/vmds/vmds"
install -m 0644 "${owner[@]}" "$repo/packaging/linux/vmds@.service" \
  "$destdir/etc/systemd/system/vmds@.service"

# Writes NAME's vmds.ini from FILE through a temporary file in root's directory.
write_ini() {  # NAME FILE
  local tmp
  tmp=$(mktemp "$conf_root/$1/.vmds.ini.XXXXXX")
  cat "$2" >"$tmp"
  chmod 0640 "$tmp"
  if ((real)); then chown root:vmds "$tmp"; fi
  mv -T "$tmp" "$conf_root/$1/vmds.ini"
}
for name in "$instance" "${moving[@]}"; do
  install -d -m 0755 "${owner[@]}" "$conf_root/$name"
  install -m 0755 "${owner[@]}" "$destdir$prefix/lib/vmds/vmds" "$conf_root/$name/vmds"
done
for name in "${moving[@]}"; do
  write_ini "$name" "$scratch/$name.moved"
  echo "Moved the instance '$name' to $conf_root/$name (program, vmds.ini) and" \
    "$state_root/$name (log); the vmds and vmds.ini left in $state_root/$name are no longer used"
done
if [[ -e $ini ]]; then
  echo "Kept the existing $ini"
else
  cat >"$scratch/new.ini" <<INI
[Daltrimore Velmora Device Server - Instance Manager - Instance - $instance]
InstanceName=$instance
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
LogFilename=/var/lib/vmds/$instance/vmds.log
INI
  write_ini "$instance" "$scratch/new.ini"
  echo "Wrote $ini"
fi
# systemd makes the state directory too (StateDirectory=); made here, a start by hand works.
if [[ ! -e $state_root/$instance && ! -L $state_root/$instance ]]; then
  if ((real)); then
    install -d -m 0750 -o vmds -g vmds "$state_root/$instance"
  else
    install -d -m 0750 "$state_root/$instance"
  fi
fi

if ((!real)); then
  echo "Laid out under $destdir; on the target: useradd, chown root:root for the files and" \
    "root:vmds for vmds.ini, and 'systemctl enable vmds@$instance'"
  exit 0
fi

# ---- The real system: the unit -------------------------------------------------------------
if [[ -d /run/systemd/system ]]; then
  systemctl daemon-reload
  systemctl enable "vmds@$instance.service"
  # A restart also brings an existing instance onto the program copy just installed.
  if ((start)); then
    systemctl restart "vmds@$instance.service"
    for name in "${moving[@]}"; do
      [[ $name != "$instance" ]] || continue
      systemctl try-restart "vmds@$name.service"
    done
  fi
  echo "vmds@$instance is enabled: systemctl status vmds@$instance; log: /var/lib/vmds/$instance/vmds.log"
else
  echo "systemd is not running here: start the instance with 'systemctl enable --now vmds@$instance' on a systemd system"
fi
