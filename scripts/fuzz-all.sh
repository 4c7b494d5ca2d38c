#!/usr/bin/env bash
# Builds every libFuzzer target once and runs each over its committed corpus
# in turn, for a bounded time:
#   scripts/fuzz-all.sh [--merge] [seconds-per-target]     (default 30 s each)
# The targets and corpora are those of `scripts/fuzz.sh --list`. New inputs go
# to build-fuzz/new-<target>; the committed corpora are left alone unless
# --merge is given, which adds to each corpus only the new inputs that reach
# coverage it lacks (libFuzzer's -merge=1), so the corpora stay small.
# Stops at the first target that crashes, hangs or runs out of memory, with a
# non-zero status and the path of the input that did it. Logs are kept in
# build-fuzz/logs.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/fuzz.sh
source scripts/fuzz.sh

merge=0
seconds=30
for arg in "$@"; do
  case "$arg" in
    --merge) merge=1 ;;
    ''|*[!0-9]*) echo "usage: scripts/fuzz-all.sh [--merge] [seconds-per-target]" >&2; exit 2 ;;
    *) seconds=$arg ;;
  esac
done

mapfile -t lines < <(fuzz_targets)
targets=()
for line in "${lines[@]}"; do
  read -r name _ <<<"$line"
  targets+=("$name")
done
# Build output goes to standard error: standard output is the summary.
build_fuzz_targets "${targets[@]}" >&2

# Stack traces with function names, where an LLVM symbolizer is installed.
for symbolizer in /usr/lib/llvm-16/bin/llvm-symbolizer "$(command -v llvm-symbolizer || true)"; do
  if [ -n "$symbolizer" ] && [ -x "$symbolizer" ]; then
    export ASAN_SYMBOLIZER_PATH="$symbolizer"
    break
  fi
done
mkdir -p build-fuzz/logs build-fuzz/artifacts
summary=()
for line in "${lines[@]}"; do
  read -r target corpus options <<<"$line"
  work="build-fuzz/new-$target"
  log="build-fuzz/logs/$target.log"
  artifacts="build-fuzz/artifacts/$target"
  rm -rf "$work" "$artifacts"
  mkdir -p "$work" "$artifacts"
  echo "== $target: ${seconds}s over $corpus" >&2
  # A slow input (10 s) counts as a hang; a run above 2 GiB, or one
  # allocation above 512 MiB, as unbounded memory.
  # shellcheck disable=SC2086 # the options are separate words
  if ! "build-fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -malloc_limit_mb=512 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" $options "$work" "$corpus" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "fuzz-all: $target failed; log: $log" >&2
    for input in "$artifacts"/*; do
      [ -e "$input" ] && echo "fuzz-all: crashing input: $input" >&2
    done
    exit 1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  cov=$(grep -Eo '(DONE|pulse|NEW|REDUCE|INITED) +cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1 |
        awk '{print $3 " " $5}')
  added=0
  if [ "$merge" = 1 ]; then
    before=$(find "$corpus" -type f | wc -l)
    # shellcheck disable=SC2086
    if ! "build-fuzz/fuzz/$target" -merge=1 -timeout=10 -artifact_prefix="$artifacts/" \
        $options "$corpus" "$work" >>"$log" 2>&1; then
      tail -n 40 "$log" >&2
      echo "fuzz-all: merging into $corpus failed; log: $log" >&2
      exit 1
    fi
    added=$(($(find "$corpus" -type f | wc -l) - before))
  fi
  size=$(find "$corpus" -type f | wc -l)
  summary+=("$(printf '%-22s execs %-10s cov %-6s ft %-6s corpus %-5s merged %s' \
    "$target" "${execs:-?}" "${cov%% *}" "${cov##* }" "$size" "$added")")
done

echo "fuzz-all: every target ran ${seconds}s without a finding" >&2
printf '%s\n' "${summary[@]}"
