#!/usr/bin/env bash
# Builds the fuzz targets (preset fuzz: clang, libFuzzer, ASan, UBSan) and runs every target for
# the given time, one after the other, from its seed corpus (tests/fuzz/corpus/<target>) and what
# earlier runs on this machine kept (build/fuzz/corpus/<target>), with the dictionary
# tests/fuzz/vmds.dict.
#   scripts/fuzz.sh [seconds-per-target] [max-executions-per-target]
# Defaults: 60 seconds, no execution limit. Any finding (crash, hang of 10 s, leak, sanitizer
# report, failed check, out of memory) fails the script; the reproducer stays in
# build/fuzz/findings/<target>/ and replays with build/fuzz/bin/<target> <reproducer>.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
runs=${2:--1}
targets=(server_startup_file server_rfc2217 manager_startup_files remover_names_list
         manager_list_text manager_status_file)

bash scripts/setup.sh --all

echo "== Fuzz build (clang, libFuzzer, ASan + UBSan)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc 2>/dev/null || echo 2)"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
mkdir -p build/fuzz/logs

failed=()
summary=()
for target in "${targets[@]}"; do
  corpus=build/fuzz/corpus/$target
  findings=build/fuzz/findings/$target
  log=build/fuzz/logs/$target.log
  mkdir -p "$corpus" "$findings"
  echo "== Fuzzing $target (${seconds} s$([ "$runs" -ge 0 ] && echo ", at most $runs executions"))"
  status=ok
  if ! build/fuzz/bin/"$target" -max_total_time="$seconds" -runs="$runs" -timeout=10 \
      -rss_limit_mb=2048 -max_len=4096 -dict=tests/fuzz/vmds.dict -print_final_stats=1 \
      -print_funcs=0 -artifact_prefix="$findings/" "$corpus" "tests/fuzz/corpus/$target" \
      >"$log" 2>&1; then
    status=FINDING
    failed+=("$target")
    tail -n 60 "$log"
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corp=$(sed -n 's/.* corp: \([0-9]*\/[0-9]*[a-zA-Z]*\).*/\1/p' <<<"$last")
  summary+=("$(printf '%-24s %-8s execs %-10s cov %-5s ft %-6s corpus %s' "$target" "$status" \
    "${execs:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}")")
done

echo "== Fuzz summary (logs in build/fuzz/logs)"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "Findings in: ${failed[*]} (reproducers in build/fuzz/findings/)" >&2
  exit 1
fi
