#!/usr/bin/env bash
# Installs what is missing, builds the server twice (plain, and with AddressSanitizer
# and UndefinedBehaviorSanitizer), starts the services the tests use, and runs every
# test through ctest on both builds; then compiles a gcc Release and a clang build.
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
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo || status=1
# Three instances behind HAProxy on one task database: commands through random
# instances while terminals move, one instance drained and one killed.
echo "== cluster run (quick)"
bash deploy/cluster-test.sh --quick build || status=1
echo "== sanitizer build (ASan + UBSan)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DTELVARO_SANITIZE=ON -DTELVARO_BENCH=OFF || status=1

# Configurations that are compiled but not run, so that a warning any of them reports
# (each compiler warns about other things, and gcc's optimiser more at -O3) fails here
# rather than for the first user who builds that way.
echo "== release build (gcc, compile only)"
build_tree build-release -DCMAKE_BUILD_TYPE=Release || status=1
echo "== clang build (compile only)"
CC=clang CXX=clang++ build_tree build-clang -DCMAKE_BUILD_TYPE=RelWithDebInfo || status=1

if [ $status -ne 0 ]; then echo "TESTS FAILED"; else echo "ALL TESTS PASSED"; fi
exit $status
