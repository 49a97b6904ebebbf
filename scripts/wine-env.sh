# shellcheck shell=bash
# A throw-away Wine environment for tests. Source this file from a bash script:
#
#   source "$REPO/scripts/wine-env.sh"
#   trap wine_env_stop EXIT              # or call wine_env_stop from your own EXIT trap
#   wine_env_start [--preload LIB] [--display] [--trace CHANNEL FILE] || exit 1
#   wine_run 30 sc query Spooler         # timeout-wrapped wine; exit code of wine (8 bits)
#   wine_map_com 5 /dev/pts/7            # COM5 opens that file
#   wine_env_stop                        # idempotent; the trap calls it again harmlessly
#
# wine_env_start
#   Makes a new prefix (mktemp -d) and exports WINEPREFIX, WINEARCH=win64, WINEDEBUG=-all and
#   WINEDLLOVERRIDES="mscoree,mshtml=". Initialises it (wineboot --init), waits for that server to
#   end, starts a persistent wineserver and boots the system processes (services.exe, explorer)
#   with one first wine command. The system processes inherit that command's environment, so
#   --preload LIB puts LIB (made absolute) into LD_PRELOAD of that command only: every service
#   started later runs with it (e.g. the modem-control shim); the boot is repeated if
#   services.exe turns out not to have it mapped. Nothing else runs with LD_PRELOAD. Export any
#   variable the services need (e.g. VMDS_MODEM_LOG) before calling wine_env_start.
#   --display starts a private Xvfb on a free display, exports DISPLAY and sets
#   HKCU\Software\Wine\X11 Driver\Managed=N (no window manager is running).
#   --use-display uses the caller's DISPLAY instead (a desktop with its window manager).
#   --trace CHANNEL FILE boots the system processes with WINEDEBUG=-all,+CHANNEL and their
#   standard error appended to FILE, so every service's trace of that channel lands there (e.g.
#   eventlog: Wine stores no events, it traces what ReportEvent was given).
#   Returns 0, or 1 after tearing down whatever it had started.
# wine_run SECONDS ARGS...
#   Runs `wine ARGS...` under `timeout SECONDS` (then SIGKILL 5 s later). Output goes to the
#   caller's stdout/stderr. A run that fails at once without any output (a rare Wine start-up
#   hiccup) is retried once with WINEDEBUG=-all,err+all. Returns wine's exit code (cut to 8 bits
#   by Linux: have Windows programs print codes you must check), 124 on time-out.
# wine_map_com N PATH
#   Maps COMN onto PATH (a symlink in $WINEPREFIX/dosdevices; effective at once).
# wine_drive_c
#   Prints the Linux path of C:\ in the prefix.
# wine_env_scenario SECONDS COMMAND...
#   Runs a test's driver COMMAND under `timeout SECONDS` in the background and waits for it, so
#   that a signal from ctest reaches the caller's trap at once (wine_env_stop ends a driver that
#   still runs). When it fails, prints the tail of every vmds.log and vmds.ini in the prefix.
#   Returns the driver's exit code.
# wine_env_stop
#   Kills every process of the prefix (wineserver -k; services get no stop control: stop them
#   first if the test needs their shutdown), stops Xvfb and deletes the prefix. Safe to call
#   more than once and when wine_env_start never ran or failed half-way.
#
# Variables: WINE_ENV_VERBOSE=1 prints each step to stderr. The helper keeps its own logs
# (wineboot, Xvfb) in the temp dir that holds the prefix; wine_env_stop removes it.
# Everything here is bounded in time; no function waits for ever.

WINE_ENV_PREFIX=""
WINE_ENV_XVFB_PID=""
WINE_ENV_ROOT=""
WINE_ENV_SCENARIO_PID=""

_wine_env_say() {
  if [[ "${WINE_ENV_VERBOSE:-0}" == 1 ]]; then echo "wine-env: $*" >&2; fi
}

_wine_env_fail() {
  echo "wine-env: $*" >&2
  wine_env_stop
  return 1
}

wine_drive_c() {
  echo "$WINEPREFIX/drive_c"
}

# Waits up to $1 seconds for the server of $WINEPREFIX to end.
_wine_env_wait_server() {
  timeout --kill-after=5 "$1" wineserver -w >/dev/null 2>&1
}

_wine_env_start_xvfb() {
  local fdfile="$WINE_ENV_ROOT/xvfb.display"
  : >"$fdfile"
  # -displayfd: Xvfb picks a free display itself and writes its number once it accepts clients.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fdfile" \
    >"$WINE_ENV_ROOT/xvfb.log" 2>&1 &
  WINE_ENV_XVFB_PID=$!
  local deadline=$((SECONDS + 15))
  while [[ ! -s "$fdfile" ]]; do
    if ((SECONDS >= deadline)) || ! kill -0 "$WINE_ENV_XVFB_PID" 2>/dev/null; then
      echo "wine-env: Xvfb did not start:" >&2
      cat "$WINE_ENV_ROOT/xvfb.log" >&2
      return 1
    fi
    sleep 0.05
  done
  local display
  display=$(tr -dc '0-9' <"$fdfile")
  export DISPLAY=":$display"
  _wine_env_say "Xvfb on $DISPLAY (pid $WINE_ENV_XVFB_PID)"
}

# True when every services.exe of this prefix has library $1 mapped (and there is one).
_wine_env_services_have() {
  local lib pid found=0
  lib=$(readlink -f "$1")
  for pid in $(pgrep -f 'services\.exe'); do
    { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" ||
      continue
    grep -qF "$lib" "/proc/$pid/maps" 2>/dev/null || return 1
    found=1
  done
  ((found))
}

wine_env_start() {
  local preload="" display=0 use_display=0 trace_channel="" trace_file=/dev/null
  while (($#)); do
    case "$1" in
      --trace) trace_channel="$2" trace_file="$3"; shift 3 ;;
      --preload) preload="$2"; shift 2 ;;
      --display) display=1; shift ;;
      --use-display) use_display=1; shift ;;
      *) echo "wine_env_start: unknown option $1" >&2; return 1 ;;
    esac
  done
  if [[ -n "$preload" ]]; then
    if [[ ! -f "$preload" ]]; then
      echo "wine_env_start: preload library $preload not found" >&2
      return 1
    fi
    # The system processes run in other directories: the loader needs an absolute path.
    preload=$(readlink -f "$preload")
  fi
  if [[ -n "$WINE_ENV_PREFIX" ]]; then
    echo "wine_env_start: an environment is already running ($WINE_ENV_PREFIX)" >&2
    return 1
  fi

  WINE_ENV_ROOT=$(mktemp -d "${TMPDIR:-/tmp}/vmds-wine.XXXXXX") || return 1
  WINE_ENV_PREFIX="$WINE_ENV_ROOT/prefix"
  mkdir "$WINE_ENV_PREFIX" || { _wine_env_fail "cannot make the prefix"; return 1; }
  export WINEPREFIX="$WINE_ENV_PREFIX"
  export WINEARCH=win64
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  _wine_env_say "prefix $WINEPREFIX"

  if ((display)); then
    _wine_env_start_xvfb || { _wine_env_fail "no X server"; return 1; }
  elif ((use_display)) && [[ -z "${DISPLAY:-}" ]]; then
    _wine_env_fail "--use-display: DISPLAY is not set"
    return 1
  fi

  # Order matters: a persistent server started before the prefix exists ends up with two service
  # databases. A rare initialisation fails half-way ("could not load kernel32.dll" on a loaded machine):
  # start over once with an empty prefix.
  local attempt
  for attempt in 1 2; do
    timeout --kill-after=5 120 wineboot --init >"$WINE_ENV_ROOT/wineboot.log" 2>&1 && break
    if ((attempt == 2)); then
      cat "$WINE_ENV_ROOT/wineboot.log" >&2
      _wine_env_fail "wineboot --init failed twice"
      return 1
    fi
    echo "wine-env: wineboot --init failed, starting over:" >&2
    cat "$WINE_ENV_ROOT/wineboot.log" >&2
    timeout --kill-after=5 20 wineserver -k >/dev/null 2>&1
    _wine_env_wait_server 20
    if ! { rm -rf "$WINE_ENV_PREFIX" && mkdir "$WINE_ENV_PREFIX"; }; then
      _wine_env_fail "cannot renew the prefix"
      return 1
    fi
  done
  if ((display)); then
    timeout --kill-after=5 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ \
      /d N /f >/dev/null 2>&1 || { _wine_env_fail "cannot set X11 Driver\\Managed"; return 1; }
  fi
  _wine_env_wait_server 60 || { _wine_env_fail "the initial wineserver did not end"; return 1; }
  local boot
  for boot in 1 2 3; do
    # Persistent: without it the server ends shortly after the last ordinary wine process and
    # takes the services with it. Its output must not hold the caller's pipes open.
    timeout --kill-after=5 30 wineserver -p </dev/null >/dev/null 2>&1 ||
      { _wine_env_fail "wineserver -p failed"; return 1; }
    # The first wine command starts services.exe and explorer with its own environment and
    # stdout: give it the preload library and /dev/null. `sc query PlugPlay` makes sure the
    # service database runs.
    local boot_debug=$WINEDEBUG
    if [[ -n "$trace_channel" ]]; then boot_debug="-all,+$trace_channel"; fi
    for attempt in 1 2; do
      if [[ -n "$preload" ]]; then
        LD_PRELOAD="$preload${LD_PRELOAD:+:$LD_PRELOAD}" WINEDEBUG=$boot_debug \
          timeout --kill-after=5 60 wine sc query PlugPlay </dev/null >/dev/null 2>>"$trace_file" &&
          break
      else
        WINEDEBUG=$boot_debug \
          timeout --kill-after=5 60 wine sc query PlugPlay </dev/null >/dev/null 2>>"$trace_file" &&
          break
      fi
      if ((attempt == 2)); then _wine_env_fail "booting the prefix failed"; return 1; fi
    done
    # Sometimes the system processes of the initialisation are still alive at this point (or
    # come back) and the services would then run without the library: check, and boot again.
    if [[ -z "$preload" ]] || _wine_env_services_have "$preload"; then break; fi
    if ((boot == 3)); then
      _wine_env_fail "services.exe keeps running without $preload"
      return 1
    fi
    echo "wine-env: services.exe runs without $preload; booting the prefix again" >&2
    timeout --kill-after=5 20 wineserver -k >/dev/null 2>&1
    _wine_env_wait_server 30 || { _wine_env_fail "the wineserver did not end"; return 1; }
  done
  _wine_env_say "prefix booted"
  return 0
}

wine_run() {
  local seconds="$1"
  shift
  local started=$EPOCHREALTIME rc out err
  out=$(mktemp) err=$(mktemp)
  timeout --kill-after=5 "$seconds" wine "$@" >"$out" 2>"$err"
  rc=$?
  local elapsed_ms=$(( (${EPOCHREALTIME/./} - ${started/./}) / 1000 ))
  if ((rc != 0 && rc != 124 && elapsed_ms < 1500)) && [[ ! -s "$out" && ! -s "$err" ]]; then
    echo "wine-env: 'wine $*' exited with $rc after ${elapsed_ms} ms without output; retrying" >&2
    WINEDEBUG=-all,err+all timeout --kill-after=5 "$seconds" wine "$@" >"$out" 2>"$err"
    rc=$?
  fi
  cat "$out"
  cat "$err" >&2
  rm -f "$out" "$err"
  return "$rc"
}

wine_map_com() {
  local n="$1" path="$2"
  if [[ -z "$WINEPREFIX" || ! -d "$WINEPREFIX/dosdevices" ]]; then
    echo "wine_map_com: no prefix" >&2
    return 1
  fi
  ln -sfn "$path" "$WINEPREFIX/dosdevices/com$n"
}

wine_env_scenario() {
  local seconds="$1" rc
  shift
  timeout --kill-after=5 "$seconds" "$@" &
  WINE_ENV_SCENARIO_PID=$!
  wait "$WINE_ENV_SCENARIO_PID"
  rc=$?
  WINE_ENV_SCENARIO_PID=""
  if ((rc != 0)); then
    local file
    while IFS= read -r -d '' file; do
      echo "---- $file"
      tr -d '\r' <"$file" | tail -40
    done < <(find "$WINEPREFIX/drive_c" \( -name vmds.log -o -name vmds.ini \) -print0 2>/dev/null)
  fi
  return "$rc"
}

wine_env_stop() {
  if [[ -n "$WINE_ENV_SCENARIO_PID" ]]; then
    kill "$WINE_ENV_SCENARIO_PID" 2>/dev/null
    wait "$WINE_ENV_SCENARIO_PID" 2>/dev/null
    WINE_ENV_SCENARIO_PID=""
  fi
  if [[ -n "$WINE_ENV_PREFIX" && -d "$WINE_ENV_PREFIX" ]]; then
    _wine_env_say "stopping $WINE_ENV_PREFIX"
    WINEPREFIX="$WINE_ENV_PREFIX" timeout --kill-after=5 20 wineserver -k >/dev/null 2>&1
    WINEPREFIX="$WINE_ENV_PREFIX" _wine_env_wait_server 20
  fi
  if [[ -n "$WINE_ENV_XVFB_PID" ]]; then
    kill "$WINE_ENV_XVFB_PID" 2>/dev/null
    local deadline=$((SECONDS + 5))
    while kill -0 "$WINE_ENV_XVFB_PID" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.05; done
    kill -9 "$WINE_ENV_XVFB_PID" 2>/dev/null
    wait "$WINE_ENV_XVFB_PID" 2>/dev/null
    WINE_ENV_XVFB_PID=""
  fi
  if [[ -n "$WINE_ENV_ROOT" && -d "$WINE_ENV_ROOT" ]]; then
    rm -rf "$WINE_ENV_ROOT"
  fi
  WINE_ENV_ROOT=""
  WINE_ENV_PREFIX=""
  return 0
}
