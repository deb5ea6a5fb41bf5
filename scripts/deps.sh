#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the server need, but only
# those that are missing; runs apt-get update only when something must be installed.
#
#   scripts/deps.sh        everything: the programs, the tests, benchmarks and packaging
#   scripts/deps.sh run    only what building and running the three programs needs
set -euo pipefail

# Building and running telvaroserver, telvaroctl and telvarosim.
run_packages=(
  g++ cmake ninja-build ccache pkg-config
  libasio-dev libsqlite3-dev sqlite3 unixodbc-dev unixodbc libpq-dev
  libncurses-dev libfmt-dev
  libcli11-dev nlohmann-json3-dev libcpp-httplib-dev libsystemd-dev
  libnats-dev
)
# The tests, the second compiler, the benchmarks, the test database and the package check.
test_packages=(
  clang
  odbc-postgresql
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  postgresql nats-server
  dpkg-dev lintian
  haproxy  # the balancer of the cluster test (deploy/cluster-test.sh)
)

case "${1:-all}" in
  run) packages=("${run_packages[@]}") ;;
  all) packages=("${run_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: $0 [run|all]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
