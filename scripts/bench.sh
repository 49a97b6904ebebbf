#!/usr/bin/env bash
# Benchmarks the native device server's bridge against socat and ser2net (default settings, and
# with its character delay off) on one pseudo-terminal pair, and prints one table with the ratios.
# Not part of the tests: the figures depend on the machine and are never pass/fail.
#
#   bash scripts/bench.sh                         # the vmds of this tree (built here)
#   bash scripts/bench.sh --vmds /other/build/bin/vmds [--shim /other/libvmds_modem_shim.so]
#
# Every other option goes to vmds_bridge_bench (--help lists them). A full run takes about two
# minutes on 2 cores and stops by itself after at most 270 s.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --bench
# perf counts the bridges' system calls without slowing them; it is optional: without it the
# bench counts them with strace.
if ! dpkg-query -W -f='${Status}' linux-perf 2>/dev/null | grep -q 'install ok installed'; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq || true
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends linux-perf \
    >/dev/null 2>&1 || true
fi

# With --vmds the server under test comes from elsewhere (say, an older build): this tree's server
# is then not built, only the bench and the modem-line shim.
targets=(vmds_bridge_bench vmds_modem_shim vmds)
for arg in "$@"; do
  [ "$arg" = "--vmds" ] && targets=(vmds_bridge_bench vmds_modem_shim)
done
cmake --preset linux -DBUILD_TESTING=OFF >/dev/null
cmake --build --preset linux --target "${targets[@]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "(not root: perf and strace may not be allowed to count the bridges' system calls)" >&2
fi
exec build/linux/bin/vmds_bridge_bench "$@"
