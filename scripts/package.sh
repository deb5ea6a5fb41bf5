#!/usr/bin/env bash
# Builds the Debian package telvaro (a Release build installed under /usr) in
# build-package/, checks its file list and control data, and runs lintian on it.
# Exits non-zero when the build fails, a file is missing or extra, or lintian reports
# an error or a warning that is not among those listed below as accepted.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir=build-package

export CCACHE_DIR="${CCACHE_DIR:-${HOME:-/root}/.cache/ccache}"
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true

# Debian's hardening flags, as a Debian build would set them: stack protector,
# fortified functions, read-only relocations bound at start.
# The banner's year comes from __DATE__, which -Wdate-time refuses; SOURCE_DATE_EPOCH
# (the last commit's time) keeps the build reproducible all the same.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH
cxxflags="$(dpkg-buildflags --get CPPFLAGS | sed 's/-Wdate-time//') $(dpkg-buildflags --get CXXFLAGS)"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DTELVARO_BUILD_TESTS=OFF -DTELVARO_BENCH=OFF >/dev/null || exit 1
cmake --build "$dir" -j "$(nproc)" || exit 1
(cd "$dir" && rm -f telvaro_*.deb && cpack -G DEB >/dev/null) || { echo "cpack failed"; exit 1; }
deb=$(ls "$dir"/telvaro_*.deb)
echo "package: $deb"

status=0
expected="./etc/
./etc/logrotate.d/
./etc/logrotate.d/telvaro
./etc/telvaro/
./etc/telvaro/blacklist.txt
./etc/telvaro/events.txt
./etc/telvaro/telvaroserver.ini
./lib/
./lib/systemd/
./lib/systemd/system/
./lib/systemd/system/telvaroserver.service
./usr/
./usr/bin/
./usr/bin/telvaroctl
./usr/bin/telvaroserver
./usr/bin/telvarosim
./usr/share/
./usr/share/doc/
./usr/share/doc/telvaro/
./usr/share/doc/telvaro/changelog.Debian.gz
./usr/share/doc/telvaro/copyright
./usr/share/man/
./usr/share/man/man1/
./usr/share/man/man1/telvaroctl.1.gz
./usr/share/man/man1/telvaroserver.1.gz
./usr/share/man/man1/telvarosim.1.gz
./var/
./var/lib/
./var/lib/telvaro/
./var/lib/telvaro/blacklist.txt -> /etc/telvaro/blacklist.txt
./var/lib/telvaro/events.txt -> /etc/telvaro/events.txt
./var/lib/telvaro/keys.txt -> /etc/telvaro/keys.txt
./var/lib/telvaro/telvaroserver.ini -> /etc/telvaro/telvaroserver.ini"
actual=$(dpkg-deb -c "$deb" | awk '{ $1=$2=$3=$4=$5=""; sub(/^ +/, ""); print }' | sort)
if [ "$actual" != "$(sort <<<"$expected")" ]; then
  echo "the package's files differ from the expected list:"
  diff <(sort <<<"$expected") <(echo "$actual")
  status=1
fi

control=$(dpkg-deb -f "$deb")
for field in "Package: telvaro" "Depends: .*adduser" "Depends: .*libsystemd0" "Section: net"; do
  grep -q "^$field" <<<"$control" || { echo "control lacks $field"; status=1; }
done
dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -q '^./conffiles$' || { echo "no conffiles"; status=1; }
ini=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./etc/telvaro/telvaroserver.ini)
grep -qx 'PipeDir=/run/telvaro' <<<"$ini" && grep -qx 'LogFile=/var/log/telvaro/telvaroserver.log' <<<"$ini" ||
  { echo "the service's telvaroserver.ini lacks its PipeDir or LogFile"; status=1; }

# What lintian reports and we accept, with why:
#   initial-upload-closes-no-bugs: the package is not uploaded to Debian, so its first
#     changelog entry closes no Debian bug report.
accepted='initial-upload-closes-no-bugs'
if command -v lintian >/dev/null; then
  report=$(lintian --tag-display-limit 0 "$deb" 2>&1)
  echo "$report"
  if grep -E '^[EW]: ' <<<"$report" | grep -vE "$accepted" | grep -q .; then
    echo "lintian reports errors or warnings"
    status=1
  fi
else
  echo "lintian is not installed (scripts/deps.sh installs it)"
  status=1
fi

[ $status -eq 0 ] && echo "PACKAGE OK" || echo "PACKAGE CHECK FAILED"
exit $status
