#!/usr/bin/env bash
# Benchmarks the native device server against socat on pseudo-terminal pairs (release build).
# Not part of the tests: numbers depend on the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
command -v socat >/dev/null || { sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo; $sudo apt-get install -y -qq socat >/dev/null; }
cmake --preset linux -DBUILD_TESTING=OFF >/dev/null
cmake --build --preset linux --target vmds vmds_modem_shim vmds_bridge_bench
shim=$(find build/linux -name 'libvmds_modem_shim.so' | head -n 1)
build/linux/bin/vmds_bridge_bench "$PWD/build/linux/bin/vmds" "$PWD/$shim"
