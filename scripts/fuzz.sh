#!/usr/bin/env bash
# Builds the libFuzzer targets and runs one of them over its committed corpus:
#   scripts/fuzz.sh <target> [seconds]
#   scripts/fuzz.sh --list      prints "<target> <corpus> [libFuzzer options]" lines
# scripts/fuzz-all.sh runs every target listed here, one after the other.
# clang 14 cannot compile libstdc++ 12's <expected>, so the fuzz build uses
# clang 16 (installed by scripts/install-deps.sh). New inputs that libFuzzer
# finds go to build-fuzz/new-<target>; merge the useful ones into the corpus
# with -merge=1 before committing (scripts/fuzz-all.sh --merge does that).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# One line per target: name, corpus, extra libFuzzer options.
fuzz_targets() {
  cat <<'LIST'
message_parse_fuzz fuzz/message_parse_corpus
message_text_fuzz fuzz/message_text_corpus
tag_list_fuzz fuzz/tag_list_corpus
base64_fuzz fuzz/base64_corpus
fuzz_dns_response fuzz/corpus/dns_response
arc_sets_fuzz fuzz/arc_sets_corpus
auth_results_fuzz fuzz/auth_results_corpus
key_record_fuzz fuzz/key_record_corpus
arc_chain_fuzz fuzz/arc_chain_corpus
canonicalization_fuzz fuzz/canonicalization_corpus
config_fuzz fuzz/config_corpus -close_fd_mask=2
milter_codec_fuzz fuzz/milter_codec_corpus
LIST
}
# config_fuzz: configuration refusals are copied to standard error; the
# option keeps them off the terminal.

# Configures build-fuzz with clang 16 and builds the named targets.
build_fuzz_targets() {
  scripts/install-deps.sh --fuzz
  CC=clang-16 CXX=clang++-16 cmake -S . -B build-fuzz -DTOLLBROOK_FUZZ=ON \
    "-DCMAKE_CXX_FLAGS=-Wno-macro-redefined -D__cpp_concepts=202002L" >/dev/null
  cmake --build build-fuzz --target "$@" -j"$(nproc)"
}

# Sourced by scripts/fuzz-all.sh for the list and the build; run on its own,
# it fuzzes one target.
if [ "${BASH_SOURCE[0]}" != "$0" ]; then
  return 0
fi

if [ "${1:-}" = "--list" ]; then
  fuzz_targets
  exit 0
fi
target=${1:?usage: scripts/fuzz.sh <target> [seconds]}
seconds=${2:-60}

line=$(fuzz_targets | awk -v t="$target" '$1 == t')
if [ -z "$line" ]; then
  echo "unknown fuzz target: $target" >&2
  exit 2
fi
read -r _ corpus options <<<"$line"

build_fuzz_targets "$target"
mkdir -p "build-fuzz/new-$target"
# shellcheck disable=SC2086 # the options are separate words
"build-fuzz/fuzz/$target" -max_total_time="$seconds" $options "build-fuzz/new-$target" "$corpus"
