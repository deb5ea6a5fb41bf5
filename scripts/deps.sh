#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the server need, but only
# those that are missing; runs apt-get update only when something must be installed.
set -euo pipefail

packages=(
  g++ clang cmake ninja-build ccache pkg-config
  libasio-dev libsqlite3-dev unixodbc-dev odbc-postgresql unixodbc libpq-dev
  libncurses-dev libfmt-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  postgresql
  haproxy  # the balancer of the cluster test (deploy/cluster-test.sh)
)

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
