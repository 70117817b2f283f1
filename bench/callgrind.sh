#!/usr/bin/env bash
# Instructions per input byte of the core's encode, counted with callgrind:
# a deterministic figure that does not care how noisy the machine is.
#
#   bash bench/callgrind.sh VOCAB CORPUS [--lines] [--bytes N] [-- DRIVER_ARGS...]
#
# Builds the C++ driver bench/cpp/encode_file (Release, no Python module),
# takes the first N bytes of CORPUS (default 1,000,000; an incomplete UTF-8
# character at the cut is dropped), and runs the driver under
# `valgrind --tool=callgrind` twice: on that input and on an empty file. The
# second run is the fixed cost (start-up, vocabulary load, model build); the
# difference divided by the input size is printed as instructions (Ir) per
# input byte. The input is one encode call, or one call per line with
# --lines; arguments after -- go to the driver as they are. BUILD_DIR (default /tmp/zeq-callgrind-build) and KEEP=1 (keep the
# callgrind output files, for callgrind_annotate) can be set in the
# environment.
set -euo pipefail

usage() { echo "usage: $0 VOCAB CORPUS [--lines] [--bytes N] [-- DRIVER_ARGS...]" >&2; exit 2; }
[ $# -ge 2 ] || usage
vocab=$(realpath "$1")
corpus=$(realpath "$2")
shift 2
mode=()
nbytes=1000000
while [ $# -gt 0 ]; do
  case "$1" in
    --lines) mode+=(--lines); shift ;;
    --bytes) [ $# -ge 2 ] || usage; nbytes=$2; shift 2 ;;
    --) shift; mode+=("$@"); break ;;
    *) usage ;;
  esac
done

command -v valgrind >/dev/null || { echo "valgrind is missing (apt-get install valgrind)" >&2; exit 1; }
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-/tmp/zeq-callgrind-build}

echo "== building encode_file in $build" >&2
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DZEQ_BUILD_PYTHON=OFF -DZEQ_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target encode_file >/dev/null

work=$(mktemp -d /tmp/zeq-callgrind.XXXXXX)
if [ "${KEEP:-0}" != 1 ]; then trap 'rm -rf "$work"' EXIT; fi

# The input: the first N bytes, cut back to a whole UTF-8 character.
head -c "$nbytes" "$corpus" > "$work/input.txt"
size=$(stat -c %s "$work/input.txt")
cut=0
for k in 1 2 3; do
  [ "$size" -gt "$k" ] || break
  b=$(tail -c "$k" "$work/input.txt" | head -c 1 | od -An -tu1 | tr -d ' ')
  if [ "$b" -ge 192 ]; then            # a lead byte k bytes from the end
    need=$(( b >= 240 ? 4 : b >= 224 ? 3 : 2 ))
    [ "$need" -gt "$k" ] && cut=$k
    break
  elif [ "$b" -lt 128 ]; then           # ASCII: the end is whole
    break
  fi
done
if [ "$cut" -gt 0 ]; then truncate -s $(( size - cut )) "$work/input.txt"; fi
size=$(stat -c %s "$work/input.txt")
: > "$work/empty.txt"

count() {  # total Ir of one run of encode_file on the file $1
  local out="$work/callgrind.$2.out"
  valgrind --tool=callgrind --callgrind-out-file="$out" \
    "$build/encode_file" "$vocab" "$1" "${mode[@]}" >/dev/null 2>"$work/valgrind.$2.log" \
    || { cat "$work/valgrind.$2.log" >&2; exit 1; }
  awk '/^(summary|totals):/ { print $2; exit }' "$out"
}

echo "== callgrind: load only (empty input)" >&2
base=$(count "$work/empty.txt" empty)
echo "== callgrind: $size bytes of $(basename "$corpus") ${mode[*]}" >&2
full=$(count "$work/input.txt" input)

commit=$(git -C "$repo" describe --always --dirty --abbrev=10 2>/dev/null || echo unknown)
per_byte=$(awk -v f="$full" -v b="$base" -v n="$size" 'BEGIN { printf "%.1f", (f - b) / n }')
echo "commit:        $commit"
echo "vocab:         $(basename "$vocab")"
echo "input:         first $size bytes of $(basename "$corpus")${mode:+, driver options ${mode[*]}}"
echo "Ir load only:  $base"
echo "Ir with input: $full"
echo "instructions per input byte: $per_byte"
if [ "${KEEP:-0}" = 1 ]; then echo "callgrind files kept in $work" >&2; fi
