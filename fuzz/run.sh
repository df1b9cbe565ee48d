#!/usr/bin/env bash
# Builds the fuzzer of the room and the receive path into build-fuzz/ and
# runs it for SECONDS (default 60), starting from fuzz/corpus and
# fuzz/regressions.  New inputs go to build-fuzz/corpus, out of the source
# tree; an input that breaks the server is saved as build-fuzz/crash-* (or
# timeout-*) and the script fails.  Keep such an input under
# fuzz/regressions/ so that the test suite replays it.  `run.sh --coverage`
# reports the lines of src/ that all these inputs reach (needs llvm-14).
set -euo pipefail
cd "$(dirname "$0")/.."

out=build-fuzz
mkdir -p "$out/corpus"
# The library's sources: every file but the programs' main()s.
mapfile -t sources < <(grep -L '^int main' src/*.cpp)
flags=(-std=c++20 -g -O1 -Isrc -Ifuzz -Wall -Wextra $(pkg-config --cflags libutf8proc libssl libcrypto))
libs=($(pkg-config --libs libutf8proc libssl libcrypto))
inputs=("$out/corpus" fuzz/corpus)
[ -d fuzz/regressions ] && inputs+=(fuzz/regressions)

if [ "${1:-}" = --coverage ]; then
  clang++ "${flags[@]}" -fsanitize=fuzzer -fprofile-instr-generate -fcoverage-mapping \
    "${sources[@]}" fuzz/fuzz_receive.cpp "${libs[@]}" -o "$out/fuzz_receive_cov"
  LLVM_PROFILE_FILE="$out/cov.profraw" "./$out/fuzz_receive_cov" -runs=0 "${inputs[@]}" 2>/dev/null
  llvm-profdata-14 merge -sparse "$out/cov.profraw" -o "$out/cov.profdata"
  llvm-cov-14 report "./$out/fuzz_receive_cov" -instr-profile="$out/cov.profdata" "${sources[@]}"
  exit 0
fi

seconds=${1:-60}
clang++ "${flags[@]}" -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  "${sources[@]}" fuzz/fuzz_receive.cpp "${libs[@]}" -o "$out/fuzz_receive"
exec "./$out/fuzz_receive" -dict=fuzz/nchatd.dict -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$out/" "${inputs[@]}"
