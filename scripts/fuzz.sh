#!/usr/bin/env bash
# Builds the core's libFuzzer targets with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs them.
#
#   bash scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
#
#   TARGET   vocab_fuzzer, text_fuzzer, normalizer_fuzzer, threads (not a fuzzer: eight threads
#            sharing one tokenizer under ThreadSanitizer; SECONDS is ignored),
#            coverage (not a fuzzer: line coverage of the core by the kept
#            corpora of both targets; SECONDS is ignored),
#            or all (the fuzzers and the thread check, one after the other)
#   SECONDS  fuzzing time; 0 only builds and replays the regression inputs
#            (core/fuzz/regressions/TARGET/) and the seeds, which is quick
#            enough for every test run
#
# Seeds are made by core/fuzz/make_seeds.py; the corpus grows in
# build/fuzz/corpus/TARGET and is kept between runs; crashing inputs land in
# build/fuzz/artifacts/TARGET/ and the log in build/fuzz/TARGET.log. A
# crashing input found by a run belongs in core/fuzz/regressions/TARGET/
# once its bug is fixed. Runs under `nice`; set FUZZ_NICE=0 to run at full
# priority.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 2 ]; then
  sed -n '2,20p' "$0" >&2
  exit 2
fi
target=$1
seconds=$2
shift 2
case $target in
  all) for t in vocab_fuzzer text_fuzzer normalizer_fuzzer threads; do bash "$0" "$t" "$seconds" "$@"; done; exit 0 ;;
  vocab_fuzzer|text_fuzzer|normalizer_fuzzer|threads|coverage) ;;
  *) echo "unknown target: $target" >&2; exit 2 ;;
esac

# A clang whose libFuzzer runtime is installed and whose C++23 mode takes
# libstdc++'s <expected> (clang 16 and newer; 14 and 15 cannot). Installed
# from Debian's packages when missing.
find_clang() {
  for v in 19 18 17 16; do
    if command -v "clang++-$v" >/dev/null &&
       ls /usr/lib/llvm-$v/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
      echo "clang++-$v"
      return
    fi
  done
}
CXX=${FUZZ_CXX:-$(find_clang)}
if [ -z "$CXX" ]; then
  if command -v apt-get >/dev/null && [ "$(id -u)" = 0 ]; then
    echo "== installing clang-16 and its runtime libraries"
    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-16 libclang-rt-16-dev) >/dev/null
    CXX=clang++-16
  else
    echo "no clang with libFuzzer: apt-get install clang-16 libclang-rt-16-dev" >&2
    exit 1
  fi
fi

out=build/fuzz
mkdir -p "$out/obj/$target" "$out/corpus/$target" "$out/artifacts/$target"
flags=(-std=c++2b -O1 -g -fno-omit-frame-pointer -Icore/include -Icore/src -Icore/testing
       -fsanitize=address,undefined -fno-sanitize-recover=all)
# libstdc++ 12 offers std::expected only to compilers that announce the
# C++20 concepts level; clang 16 has what it needs but announces less.
probe=$(mktemp --suffix=.cc)
printf '#include <expected>\nstd::expected<int, int> e{1};\n' >"$probe"
if ! "$CXX" "${flags[@]}" -fsyntax-only "$probe" 2>/dev/null; then
  flags+=(-D__cpp_concepts=202002L -Wno-macro-redefined)
fi
rm -f "$probe"

if [ "$target" = threads ]; then
  echo "== building the thread check with $CXX and ThreadSanitizer"
  tflags=("${flags[@]/-fsanitize=address,undefined/-fsanitize=thread}")
  mkdir -p "$out/obj/threads"
  objs=() pids=()
  for src in core/src/tokenizer/*.cc core/fuzz/threads_check.cc; do
    obj=$out/obj/threads/$(basename "$src" .cc).o
    objs+=("$obj")
    "$CXX" "${tflags[@]}" -c "$src" -o "$obj" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid"; done
  "$CXX" "${tflags[@]}" "${objs[@]}" -o "$out/threads_check"
  TSAN_OPTIONS=halt_on_error=1 "$out/threads_check" "$@"
  exit
fi

if [ "$target" = coverage ]; then
  v=${CXX##*-}
  cflags=("${flags[@]/-fsanitize=address,undefined/-fprofile-instr-generate}" -fcoverage-mapping)
  rm -rf "$out/coverage" && mkdir -p "$out/coverage"
  for t in vocab_fuzzer text_fuzzer normalizer_fuzzer; do
    echo "== replaying the corpus of $t with coverage"
    "$CXX" "${cflags[@]}" -fsanitize=fuzzer core/src/tokenizer/*.cc "core/fuzz/$t.cc" -o "$out/coverage/$t"
    PYTHONPATH=tools python3 core/fuzz/make_seeds.py "$out/seeds" >/dev/null
    mkdir -p "$out/corpus/$t"
    LLVM_PROFILE_FILE="$out/coverage/$t.profraw" "$out/coverage/$t" -runs=0 -max_len=262144 \
      "$out/corpus/$t" "$out/seeds/$t" >"$out/coverage/$t.log" 2>&1
  done
  "llvm-profdata-$v" merge -o "$out/coverage/all.profdata" "$out/coverage/"*.profraw
  "llvm-cov-$v" report "$out/coverage/vocab_fuzzer" -object "$out/coverage/text_fuzzer" \
    -object "$out/coverage/normalizer_fuzzer" \
    -instr-profile="$out/coverage/all.profdata" core/src/tokenizer/*.cc core/src/tokenizer/*.h
  echo "line by line: llvm-cov-$v show $out/coverage/vocab_fuzzer -object $out/coverage/text_fuzzer -object $out/coverage/normalizer_fuzzer -instr-profile=$out/coverage/all.profdata core/src/tokenizer/FILE"
  exit
fi

echo "== building $target with $CXX"
objs=() pids=()
for src in core/src/tokenizer/*.cc; do
  obj=$out/obj/$target/$(basename "$src" .cc).o
  objs+=("$obj")
  "$CXX" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$src" -o "$obj" &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done  # each, so that a failed compile stops the script
# The target itself (its reference model and checks) carries no coverage
# instrumentation: inputs are kept for what they make the core do, and the
# slow model's comparisons would only cost time.
"$CXX" "${flags[@]}" -c "core/fuzz/$target.cc" -o "$out/obj/$target/$target.o"
"$CXX" "${flags[@]}" -fsanitize=fuzzer "$out/obj/$target/$target.o" "${objs[@]}" -o "$out/$target"

PYTHONPATH=tools python3 core/fuzz/make_seeds.py "$out/seeds" >/dev/null

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:malloc_context_size=8}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
case $target in
  vocab_fuzzer) max_len=32768 ;;
  text_fuzzer) max_len=8192 ;;
  # Room for a real character map (a quarter of a megabyte) and a text.
  normalizer_fuzzer) max_len=262144 ;;
esac
nice=()
[ "${FUZZ_NICE:-10}" != 0 ] && nice=(nice -n "${FUZZ_NICE:-10}")

echo "== replaying regression inputs and seeds of $target"
regressions=(core/fuzz/regressions/$target/*)
if [ -e "${regressions[0]}" ]; then
  if ! "${nice[@]}" "$out/$target" -max_len=$max_len "${regressions[@]}" >"$out/$target.regressions.log" 2>&1; then
    cat "$out/$target.regressions.log" >&2
    echo "a regression input of $target fails again" >&2
    exit 1
  fi
  echo "${#regressions[@]} regression inputs pass"
fi
"${nice[@]}" "$out/$target" -max_len=$max_len -runs=0 "$out/seeds/$target" >"$out/$target.replay.log" 2>&1 ||
  { cat "$out/$target.replay.log" >&2; echo "a seed fails" >&2; exit 1; }
grep -E "INITED|DONE" "$out/$target.replay.log" | tail -n 1
[ "$seconds" = 0 ] && exit 0

echo "== fuzzing $target for $seconds s (log: $out/$target.log)"
"${nice[@]}" "$out/$target" -max_len=$max_len -max_total_time="$seconds" -timeout=60 \
  -print_final_stats=1 -use_value_profile=1 -artifact_prefix="$out/artifacts/$target/" \
  "$@" "$out/corpus/$target" "$out/seeds/$target" 2>&1 | tee -a "$out/$target.log" |
  grep -E "^#[0-9]+ +(pulse|DONE|REDUCE|NEW)|ERROR|\*\*\*|SUMMARY|stat::" | grep -vE "NEW|REDUCE" || true
if ls "$out/artifacts/$target" | grep -qvE '^slow-unit-'; then
  echo "failing inputs in $out/artifacts/$target" >&2
  exit 1
fi
