#!/usr/bin/env bash
# Builds the libFuzzer targets and runs one of them over its committed corpus:
#   scripts/fuzz.sh <target> [seconds]
# Targets: message_parse_fuzz, message_text_fuzz, fuzz_dns_response, arc_sets_fuzz,
# config_fuzz, milter_codec_fuzz.
# clang 14 cannot compile libstdc++ 12's <expected>, so the fuzz build uses
# clang 16 (installed by scripts/install-deps.sh). New inputs that libFuzzer
# finds go to build-fuzz/new-<target>; merge the useful ones into the corpus
# with -merge=1 before committing.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?usage: scripts/fuzz.sh <target> [seconds]}
seconds=${2:-60}
options=()

case "$target" in
  message_parse_fuzz) corpus=fuzz/message_parse_corpus ;;
  message_text_fuzz) corpus=fuzz/message_text_corpus ;;
  fuzz_dns_response) corpus=fuzz/corpus/dns_response ;;
  arc_sets_fuzz) corpus=fuzz/arc_sets_corpus ;;
  # Configuration refusals are copied to standard error: keep them off the terminal.
  config_fuzz) corpus=fuzz/config_corpus; options=(-close_fd_mask=2) ;;
  milter_codec_fuzz) corpus=fuzz/milter_codec_corpus ;;
  *) echo "unknown fuzz target: $target" >&2; exit 2 ;;
esac

scripts/install-deps.sh --fuzz
CC=clang-16 CXX=clang++-16 cmake -S . -B build-fuzz -DTOLLBROOK_FUZZ=ON \
  "-DCMAKE_CXX_FLAGS=-Wno-macro-redefined -D__cpp_concepts=202002L" >/dev/null
cmake --build build-fuzz --target "$target" -j"$(nproc)"
mkdir -p "build-fuzz/new-$target"
"build-fuzz/fuzz/$target" -max_total_time="$seconds" "${options[@]}" "build-fuzz/new-$target" "$corpus"
