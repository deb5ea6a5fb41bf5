#!/usr/bin/env bash
# Builds the server and runs it with the bundled configuration in run/, a program
# directory of its own. Extra arguments go to telvaroserver (for example --console).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
if [ ! -x build/shell/telvaroserver ]; then
  echo "Built everything; the server program telvaroserver is not part of this build yet."
  exit 0
fi
mkdir -p run
for f in telvaroserver.ini events.txt blacklist.txt; do
  [ -e "run/$f" ] || cp "config/$f" "run/$f"
done
exec build/shell/telvaroserver --home run "$@"
