#!/usr/bin/env bash
# Builds the server and the two tools and runs the server with the bundled
# configuration in run/, a program directory of its own. Extra arguments go to
# telvaroserver (for example --console). Installs only the Debian packages the three
# programs need, and builds nothing else: the tests and benchmarks are for
# scripts/test.sh, which configures the same build/ with them.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/deps.sh run

export CCACHE_DIR="${CCACHE_DIR:-${HOME:-/root}/.cache/ccache}"
# Clones in other folders share the compiler cache.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true

# A first configuration without the tests needs none of their packages; a build/
# configured before (by scripts/test.sh) keeps its own.
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVARO_BUILD_TESTS=OFF -DTELVARO_BENCH=OFF >/dev/null
fi
cmake --build build -j "$(nproc)" --target telvaroserver telvaroctl telvarosim
mkdir -p run
for f in telvaroserver.ini events.txt blacklist.txt; do
  [ -e "run/$f" ] || cp "config/$f" "run/$f"
done
exec build/shell/telvaroserver --home run "$@"
