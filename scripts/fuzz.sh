#!/usr/bin/env bash
# Coverage-guided fuzzing of the two readers of untrusted text, the model file and the pickled
# state, with libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer (clang from
# Debian: `apt-get install clang libclang-rt-14-dev`).
#
#   ./scripts/fuzz.sh [SECONDS_PER_HARNESS] [extra libFuzzer flags...]    (default 60; 0 builds only)
#
# Each harness starts from its seed corpus (tests/fuzz/corpus/ for the model file,
# tests/fuzz/corpus_state/ for the state) and keeps what it finds in
# build/fuzz/corpus-<name>/ (not in the repository). A crash leaves build/fuzz/crash-* and makes
# the script fail; replay one with `build/fuzz/<harness> <file>`.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
SECONDS_EACH="${1:-60}"
shift || true
CXX="${FUZZ_CXX:-clang++}"
OUT=build/fuzz
mkdir -p "$OUT"
command -v "$CXX" >/dev/null 2>&1 || { echo "[fuzz] $CXX not found (apt-get install clang libclang-rt-14-dev)" >&2; exit 1; }

# The engine once, as objects shared by both harnesses, two compilers at a time.
flags=(-std=c++20 -g -O1 -ffp-contract=off -fsanitize=fuzzer-no-link,address,undefined
       -fno-sanitize-recover=undefined -DQUORVELIN_LIBFUZZER -Isrc)
export CXX OUT
export FLAGS="${flags[*]}"
find src -name '*.cpp' -not -path 'src/python/*' | sort | xargs -P "${QUORVELIN_JOBS:-2}" -I{} sh -c '
    obj="$OUT/obj/${1%.cpp}.o"
    mkdir -p "$(dirname "$obj")"
    if [ ! -f "$obj" ] || [ "$1" -nt "$obj" ] || [ -n "$(find src -name "*.hpp" -newer "$obj" -print -quit)" ]; then
        $CXX $FLAGS -c "$1" -o "$obj" || exit 255
    fi' sh {}
mapfile -t objects < <(find src -name '*.cpp' -not -path 'src/python/*' | sort | sed "s|^|$OUT/obj/|; s|\.cpp\$|.o|")

status=0
for name in model_file model_state; do
    seeds=corpus
    [[ $name == model_state ]] && seeds=corpus_state
    bin="$OUT/fuzz_$name"
    "$CXX" "${flags[@]/fuzzer-no-link/fuzzer}" "tests/fuzz/fuzz_$name.cpp" "${objects[@]}" -lsimdjson -pthread -o "$bin"
    mkdir -p "$OUT/corpus-$name"
    [[ "$SECONDS_EACH" == 0 ]] && continue  # build only
    echo "[fuzz] $name: ${SECONDS_EACH}s"
    # UBSan findings abort (no recovery), ASan's leak check runs at exit.
    if ! (cd "$OUT" && ASAN_OPTIONS="${ASAN_OPTIONS:-allocator_may_return_null=1}" \
          "./fuzz_$name" -max_total_time="$SECONDS_EACH" -rss_limit_mb=2048 -print_final_stats=1 "$@" \
          "corpus-$name" "$ROOT/tests/fuzz/$seeds" 2>&1 | tee "fuzz_$name.log" | grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)'); then
        :
    fi
    if ls "$OUT"/crash-* "$OUT"/leak-* "$OUT"/timeout-* >/dev/null 2>&1; then status=1; fi
done
exit $status
