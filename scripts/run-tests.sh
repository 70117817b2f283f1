#!/usr/bin/env bash
# Installs what the tests need and runs every test: the C++ tests of the
# core (GoogleTest), then the Python test suite against the installed
# module (and again under Python 3.9 when the machine has it), then both
# again built with AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   bash scripts/run-tests.sh           # everything
#   bash scripts/run-tests.sh --quick   # without the sanitizer pass
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
quick=0
[ "${1:-}" = "--quick" ] && quick=1

# GoogleTest for the core tests, from Debian's packages when missing.
if [ ! -f /usr/include/gtest/gtest.h ]; then
  if command -v apt-get >/dev/null && [ "$(id -u)" = 0 ]; then
    (apt-get update -qq && apt-get install -y -qq libgtest-dev) >/dev/null
  else
    echo "libgtest-dev is missing: install it (apt-get install libgtest-dev)" >&2
    exit 1
  fi
fi

export ZEQ_WERROR=ON
pip_install() { "$PYTHON" -m pip install -q --disable-pip-version-check "$@"; }

# $1: sanitizers ("" for a plain build)
core_tests() {
  local build=build/core-tests${1:+-sanitized}
  echo "== core tests (C++)${1:+ with $1}"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEQ_BUILD_PYTHON=OFF \
    -DZEQ_BUILD_TESTS=ON -DZEQ_WERROR=ON -DZEQ_SANITIZE="$1" >/dev/null
  cmake --build "$build" >/dev/null
  (cd "$build" && ctest --output-on-failure --no-tests=error -j2 | tail -n 3)
}

# The module and the test dependencies, into this Python environment.
ZEQ_SANITIZE= pip_install ".[test]"
core_tests ""
echo "== Python tests"
"$PYTHON" -m pytest -q tests

# The same abi3 module under the oldest Python it supports, when this
# machine has it: Python 3.9 gets the classic calling convention (3.10 and
# newer get METH_FASTCALL), so both conventions are tested.
find_python39() {
  local candidates=(${OLDEST_PYTHON:-} python3.9)
  if command -v pyenv >/dev/null; then
    candidates+=("$(pyenv root)"/versions/3.9*/bin/python)
  fi
  local c
  for c in "${candidates[@]}"; do
    if "$c" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 9))' 2>/dev/null; then
      echo "$c"
      return
    fi
  done
}
OLDEST=$(find_python39)
if [ -n "$OLDEST" ]; then
  echo "== Python tests under $("$OLDEST" --version 2>&1)"
  oldest_path=build/oldest-python-path
  rm -rf "$oldest_path"
  mkdir -p "$oldest_path"
  "$PYTHON" - "$oldest_path" <<'PY'
import pathlib, shutil, sys
import zeq, zeqtools
dest = pathlib.Path(sys.argv[1])
shutil.copy(zeq.__file__, dest)
shutil.copytree(pathlib.Path(zeqtools.__file__).parent, dest / "zeqtools")
PY
  "$OLDEST" -m pip install -q --disable-pip-version-check pytest hypothesis
  PYTHONPATH=$oldest_path "$OLDEST" -m pytest -q -p no:cacheprovider tests
else
  echo "== no Python 3.9 found: the classic calling convention is not tested"
fi

[ "$quick" = 1 ] && exit 0

# The same module built with the sanitizers, into a folder of its own so
# that the environment keeps the plain build.
sanitize=address,undefined
site=build/sanitized-site
rm -rf "$site"
ZEQ_SANITIZE=$sanitize pip_install --no-deps --target "$site" -C build-dir=build/sanitized .
core_tests "$sanitize"
echo "== Python tests with $sanitize"
# The interpreter is not built with the sanitizers: preload their runtimes.
# Leak detection is left to bench/leak_check.py (the interpreter itself
# keeps memory until exit by design).
PYTHONPATH=$site LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  "$PYTHON" -m pytest -q -p no:cacheprovider tests
