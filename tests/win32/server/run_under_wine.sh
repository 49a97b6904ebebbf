#!/usr/bin/env bash
# Runs the cross-built unit tests of the device server's Win32 platform code under Wine.
#
#   run_under_wine.sh TEST_EXE [MODEM_SHIM_LIBRARY] [-- GTEST_ARGS...]
#
# Makes a throw-away Wine prefix, links two pseudo-terminals with socat and maps them onto COM5
# and COM6 (the serial cases talk from one to the other), preloads the modem-control shim into
# the test process when it is given, and tears everything down at the end. Exit code: the test
# program's (0 = all passed).
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../../.." && pwd)

test_exe="${1:?usage: run_under_wine.sh TEST_EXE [MODEM_SHIM_LIBRARY] [-- GTEST_ARGS...]}"
shift
shim=""
if (($#)) && [[ "$1" != "--" ]]; then
  shim="$1"
  shift
fi
if (($#)) && [[ "$1" == "--" ]]; then shift; fi
gtest_args=("$@")

if [[ ! -f "$test_exe" ]]; then
  echo "run_under_wine: $test_exe not found" >&2
  exit 1
fi
if [[ -n "$shim" && ! -f "$shim" ]]; then
  echo "run_under_wine: modem shim $shim not found; serial waits are skipped" >&2
  shim=""
fi

# shellcheck source=../../../scripts/wine-env.sh
source "$repo/scripts/wine-env.sh"

socat_pid=""
cleanup() {
  if [[ -n "$socat_pid" ]]; then
    kill "$socat_pid" 2>/dev/null
    wait "$socat_pid" 2>/dev/null
    socat_pid=""
  fi
  wine_env_stop
}
trap cleanup EXIT

wine_env_start || exit 1

# Two pseudo-terminals joined by socat: bytes written to one come out of the other.
ptys="$WINE_ENV_ROOT/ptys"
mkdir -p "$ptys"
socat pty,raw,echo=0,link="$ptys/a" pty,raw,echo=0,link="$ptys/b" </dev/null \
  >"$ptys/socat.log" 2>&1 &
socat_pid=$!
deadline=$((SECONDS + 10))
until [[ -e "$ptys/a" && -e "$ptys/b" ]]; do
  if ((SECONDS >= deadline)) || ! kill -0 "$socat_pid" 2>/dev/null; then
    echo "run_under_wine: socat did not make the pseudo-terminals" >&2
    cat "$ptys/socat.log" >&2
    exit 1
  fi
  sleep 0.05
done
wine_map_com 5 "$(readlink -f "$ptys/a")" || exit 1
wine_map_com 6 "$(readlink -f "$ptys/b")" || exit 1

export VMDS_TEST_COM_PORT=COM5
export VMDS_TEST_COM_PEER=COM6
if [[ -n "$shim" ]]; then
  modem_log="$WINE_ENV_ROOT/modem.log"
  : >"$modem_log"
  export VMDS_TEST_MODEM_SHIM=1
  export VMDS_MODEM_LOG="$modem_log"
  # The same file as the program sees it (drive Z: is the Linux root).
  export VMDS_TEST_MODEM_LOG="Z:${modem_log//\//\\}"
  # The device's input lines (CTS, DSR, RI, DCD), in a directory of their own that the shim
  # watches; the tests replace the file.
  mkdir -p "$WINE_ENV_ROOT/input"
  export VMDS_MODEM_INPUT="$WINE_ENV_ROOT/input/lines"
  export VMDS_TEST_MODEM_INPUT="Z:${VMDS_MODEM_INPUT//\//\\}"
  LD_PRELOAD="$shim${LD_PRELOAD:+:$LD_PRELOAD}" wine_run 240 "$test_exe" "${gtest_args[@]}"
else
  wine_run 240 "$test_exe" "${gtest_args[@]}"
fi
rc=$?
if ((rc == 124)); then echo "run_under_wine: the tests ran into the time-out" >&2; fi
exit "$rc"
