#!/usr/bin/env bash
# Builds the server and runs it with the bundled configuration in run/, a program
# directory of its own. Extra arguments go to telvaroserver (for example --console).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Only the programs: the tests and benchmarks are for scripts/test.sh.
cmake --build build -j "$(nproc)" --target telvaroserver telvaroctl telvarosim
mkdir -p run
for f in telvaroserver.ini events.txt blacklist.txt; do
  [ -e "run/$f" ] || cp "config/$f" "run/$f"
done
exec build/shell/telvaroserver --home run "$@"
