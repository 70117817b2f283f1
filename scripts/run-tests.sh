#!/usr/bin/env bash
# Installs what the tests need and runs every test: the C++ tests of the
# core (GoogleTest) and the Python test suite against the installed module.
#
#   bash scripts/run-tests.sh            # everything
#   ZEQ_SANITIZE=address,undefined bash scripts/run-tests.sh
#                                        # the same, built with sanitizers
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

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
sanitize=${ZEQ_SANITIZE:-}
build=build/core-tests${sanitize:+-sanitized}

"$PYTHON" -m pip install -q --disable-pip-version-check ".[test]"

echo "== core tests (C++)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEQ_BUILD_PYTHON=OFF \
  -DZEQ_BUILD_TESTS=ON -DZEQ_WERROR=ON -DZEQ_SANITIZE="$sanitize" >/dev/null
cmake --build "$build" >/dev/null
(cd "$build" && ctest --output-on-failure --no-tests=error -j2 | tail -n 3)

echo "== Python tests"
if [ -n "$sanitize" ]; then
  # The interpreter is not built with the sanitizers: preload their runtimes
  # and leave leak detection to the leak check (the interpreter itself keeps
  # memory until exit by design).
  preload="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
  LD_PRELOAD=$preload ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$PYTHON" -m pytest -q tests
else
  "$PYTHON" -m pytest -q tests
fi
