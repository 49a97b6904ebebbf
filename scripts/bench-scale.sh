#!/usr/bin/env bash
# What N serial lines at their real line rate cost through vmds (one process and one program copy
# per instance), ser2net (one process; default settings and `chardelay: false`) and socat (one
# process per line): CPU, context switches, bytes lost or changed, probe round trip under load,
# memory and idle wake-ups at N = 1, 16, 64, 255 lines at 9600 bps and 1, 16, 64 at 115,200 bps,
# 30 s of streaming both ways each. Not part of the tests: figures, never pass/fail.
#
#   bash scripts/bench-scale.sh                       # full run (about 20 minutes on 2 cores)
#   bash scripts/bench-scale.sh --out DIR             # results elsewhere (default bench/results)
#   bash scripts/bench-scale.sh --points 9600:1,4 --seconds 5     # a short try
#   bash scripts/bench-scale.sh --plot-only           # the plot again from DIR/scale.csv
#
# Every other option goes to vmds_scale_bench (--vmds, --bridges, --points, --seconds, --limit,
# ...). Writes DIR/scale.txt (the table), DIR/scale.csv and DIR/scale-cpu.png (CPU against N).
set -euo pipefail
cd "$(dirname "$0")/.."

out=bench/results
args=()
plot_only=0
while (($#)); do
  case $1 in
    --plot-only) plot_only=1; shift ;;
    --out) (($# >= 2)) || { echo "--out needs a directory" >&2; exit 2; }; out=$2; shift 2 ;;
    *) args+=("$1"); shift ;;
  esac
done

status=0
if ((plot_only == 0)); then
  bash scripts/setup.sh --bench

  targets=(vmds_scale_bench vmds_modem_shim vmds)
  for arg in "${args[@]}"; do
    [ "$arg" = "--vmds" ] && targets=(vmds_scale_bench vmds_modem_shim)
  done
  cmake --preset linux -DBUILD_TESTING=OFF >/dev/null
  cmake --build --preset linux -j2 --target "${targets[@]}"

  mkdir -p "$out"
  build/linux/bin/vmds_scale_bench --csv "$out/scale.csv" "${args[@]}" | tee "$out/scale.txt" ||
    status=$?
  [ -s "$out/scale.csv" ] || exit "$status"
fi

# CPU against N, one panel per line rate, one line per bridge.
data=$(mktemp -d)
trap 'rm -rf -- "$data"' EXIT
awk -F, -v dir="$data" 'NR > 1 && $4 != "" {
  file = dir "/" $2 "-" $1 ".dat"; print $3, $4 >> file
  if (!(($2) in seen)) { seen[$2] = 1; rates = rates " " $2 }
} END { print rates > (dir "/rates") }' "$out/scale.csv"
read -r -a rates < "$data/rates"
{
  echo "set terminal pngcairo size $((560 * ${#rates[@]})),460 font ',10'"
  echo "set output '$out/scale-cpu.png'"
  echo "set multiplot layout 1,${#rates[@]} \\"
  echo "  title 'Bridge CPU at line rate, both ways ($(nproc) cores; load noted in scale.txt)'"
  echo "set logscale x 2; set logscale y; set xrange [0.8:320]; set xtics (1, 16, 64, 255)"
  echo "set xlabel 'lines (N)'; set ylabel 'CPU (cores)'; set key top left; set grid"
  for rate in "${rates[@]}"; do
    echo "set title '$rate bps (8N1)'"
    plots=()
    for bridge in vmds ser2net ser2net-cd-off socat; do
      f="$data/$rate-$bridge.dat"
      [ -s "$f" ] && plots+=("'$f' using 1:2 with linespoints lw 2 title '$bridge'")
    done
    (IFS=,; echo "plot ${plots[*]}")
  done
  echo "unset multiplot"
} > "$data/plot.gp"
gnuplot "$data/plot.gp"
echo "Wrote $out/scale.txt, $out/scale.csv and $out/scale-cpu.png"
exit "$status"
