#!/usr/bin/env bash
# Installs what is missing, builds the server twice (plain, and with AddressSanitizer
# and UndefinedBehaviorSanitizer), starts the services the tests use, and runs every
# test through ctest on both builds; runs the tests that start threads again under
# ThreadSanitizer; then compiles a gcc Release and the clang fuzz configuration, and
# builds and checks the Debian package (scripts/package.sh).
# Exits non-zero when anything fails.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/deps.sh || exit 1

jobs=$(nproc)
export CCACHE_DIR="${CCACHE_DIR:-${HOME:-/root}/.cache/ccache}"
# Clones in other folders (CI's among them) share the compiler cache.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true

services_up=0
stop_services() {
  if [ "$services_up" = 1 ] && [ -x scripts/pg-test.sh ]; then bash scripts/pg-test.sh stop || true; fi
}
trap stop_services EXIT

if [ -f scripts/pg-test.sh ]; then
  # Exports TELVARO_TEST_ODBC for the database tests.
  pgenv=$(bash scripts/pg-test.sh start) || { echo "could not start the test database"; exit 1; }
  eval "$pgenv"
  services_up=1
fi

status=0
build_tree() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null || return 1
  cmake --build "$dir" -j "$jobs"
}
run_suite() {
  local dir=$1
  build_tree "$@" || return 1
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 300)
}

echo "== plain build"
# scripts/run.sh may have configured build/ without the tests and benchmarks.
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVARO_BUILD_TESTS=ON -DTELVARO_BENCH=ON || status=1
# Three instances behind HAProxy on one task database: commands through random
# instances while terminals move, one instance drained and one killed.
echo "== cluster run (quick)"
bash deploy/cluster-test.sh --quick build || status=1
echo "== sanitizer build (ASan + UBSan)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DTELVARO_SANITIZE=ON -DTELVARO_BENCH=OFF || status=1

# ThreadSanitizer cannot share a build with AddressSanitizer; only the programs of the
# tests labelled "threads" (connections, pipes, the database writer, end to end) are
# built, and only those tests run.
echo "== thread sanitizer build (tests that start threads)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVARO_SANITIZE=thread \
  -DTELVARO_BENCH=OFF >/dev/null &&
  cmake --build build-tsan -j "$jobs" --target connections_tests pipes_tests dbwriter_tests e2e_tests &&
  (cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest -L threads --output-on-failure -j "$jobs" --timeout 600) || status=1

# Configurations that are compiled but not run, so that a warning any of them reports
# (each compiler warns about other things, and gcc's optimiser more at -O3) fails here
# rather than for the first user who builds that way. The clang build is the fuzz
# configuration, so the fuzz targets are compiled too (bench/fuzz/run.sh runs them).
echo "== release build (gcc, compile only)"
build_tree build-release -DCMAKE_BUILD_TYPE=Release || status=1
echo "== clang build with the fuzz targets (compile only)"
CC=clang CXX=clang++ build_tree build-clang -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVARO_FUZZ=ON || status=1
echo "== Debian package"
bash scripts/package.sh || status=1

if [ $status -ne 0 ]; then echo "TESTS FAILED"; else echo "ALL TESTS PASSED"; fi
exit $status
