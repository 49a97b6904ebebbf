#!/usr/bin/env bash
# Installs what the build needs on Debian 12 (as root, or through sudo).
#   scripts/setup.sh          packages to build and run the device server on Linux (with mbedTLS)
#   scripts/setup.sh --all    also the cross compiler, Wine and Xvfb for the Windows programs,
#                             dpkg-source for scripts/build-mbedtls-mingw.sh,
#                             every test layer and the fuzz targets (clang with libFuzzer), and
#                             promtool and node_exporter that read the status file in a test,
#                             and pyserial, the remote port control client of a test, and the
#                             openssl command, which makes the TLS tests' certificates and is
#                             one of their clients
#   scripts/setup.sh --bench  also the benchmarks' peers (socat, ser2net), strace and gnuplot
set -euo pipefail

packages=(cmake ninja-build g++ make pkg-config python3 netcat-openbsd libmbedtls-dev)
if [ "${1:-}" = "--all" ]; then
  packages+=(libgtest-dev libgmock-dev googletest libbenchmark-dev
             g++-mingw-w64-x86-64-posix wine wine64 xvfb socat fonts-wine
             libxrender1 libxrandr2 libxi6 libxcursor1 libxcomposite1 libxinerama1
             libxxf86vm1 libxfixes3 procps imagemagick
             clang libclang-rt-14-dev llvm nsis systemd
             prometheus prometheus-node-exporter python3-serial openssl
             dpkg-dev)
elif [ "${1:-}" = "--bench" ]; then
  packages+=(socat ser2net strace gnuplot-nox)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

# Only the programs of these two are used (promtool, node_exporter in a test on a free port):
# the services the packages start on a systemd host are stopped and disabled again when this run
# installed them, so that no Prometheus server or exporter is left listening.
if [ -d /run/systemd/system ]; then
  for unit in prometheus prometheus-node-exporter; do
    case " ${missing[*]} " in
      *" $unit "*) $sudo systemctl disable --now "$unit.service" >/dev/null 2>&1 || true ;;
    esac
  done
fi
