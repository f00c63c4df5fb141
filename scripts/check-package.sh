#!/usr/bin/env bash
# Builds the Debian package from the release preset and checks it: lintian reports no error, the
# desktop entry is valid, the package holds what it must, and its programs run from the package
# unpacked into a scratch root against this machine's libraries (nvx --version, nvx ports, the
# launcher preparing a work directory, the manual pages).
#
#   scripts/check-package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh lintian desktop-file-utils man-db

cmake --preset release >/dev/null
cmake --build --preset release --target package

debs=(build/release/norvix-monitor_*_amd64.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "expected one package, found: ${debs[*]}" >&2; exit 1; }
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
[ "$deb" = "build/release/norvix-monitor_${version}_amd64.deb" ] || { echo "$deb: name and version $version differ" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
passed=0
failed=0
check() {  # check NAME COMMAND...: runs the command, counts and reports its outcome
  local name=$1
  shift
  if "$@" >"$scratch/out" 2>&1; then
    passed=$((passed + 1))
    echo "ok      $name"
  else
    failed=$((failed + 1))
    echo "FAILED  $name"
    sed 's/^/        /' "$scratch/out"
  fi
}

# Every tag lintian finds is shown; only errors fail.
lintian_rc=0
lintian --fail-on error --tag-display-limit 0 "$deb" >"$scratch/lintian" 2>&1 || lintian_rc=$?
sed 's/^/  lintian: /' "$scratch/lintian"
check "lintian: no error" test "$lintian_rc" -eq 0

check "desktop entry is valid" desktop-file-validate packaging/norvix-monitor.desktop

root=$scratch/root
dpkg-deb -x "$deb" "$root"

contents() {
  local path
  for path in usr/bin/norvix-monitor usr/bin/nvx usr/bin/norvix-sim usr/bin/norvix-monitor-start \
      usr/lib/norvix-monitor/norvixosp.exe usr/share/norvix-monitor/ReadMe.txt \
      usr/share/applications/norvix-monitor.desktop \
      usr/share/icons/hicolor/128x128/apps/norvix-monitor.png \
      usr/share/icons/hicolor/scalable/apps/norvix-monitor.svg \
      usr/share/man/man1/nvx.1.gz usr/share/man/man1/norvix-monitor.1.gz \
      usr/share/man/man1/norvix-sim.1.gz usr/share/man/man1/norvix-monitor-start.1.gz \
      usr/share/doc/norvix-monitor/README.md usr/share/doc/norvix-monitor/copyright \
      usr/share/doc/norvix-monitor/changelog.gz usr/share/doc/norvix-monitor/60-norvix-serial.rules \
      usr/share/doc/norvix-monitor/docs/linux.md; do
    [ -e "$root/$path" ] || { echo "missing: /$path"; return 1; }
  done
  local shipped
  shipped=$(cd devices && ls ./*.xml | sort)
  [ "$(cd "$root/usr/share/norvix-monitor/devices" && ls ./*.xml | sort)" = "$shipped" ] ||
    { echo "part descriptions differ from devices/"; return 1; }
}
check "contents" contents

depends() {
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "Depends: $depends"
  grep -Eq '(^|, )avrdude(,|$)' <<<"$depends" && grep -q 'libqt6widgets6' <<<"$depends"
}
licence() {
  local copyright=$root/usr/share/doc/norvix-monitor/copyright
  grep -qx 'License: GPL-3+' "$copyright" &&
    grep -q '/usr/share/common-licenses/GPL-3' "$copyright" &&
    ! grep -q '^License: other' "$copyright"
}
check "copyright states GPL-3.0-or-later" licence

check "depends on avrdude and the Qt libraries" depends

nvx_version() { [ "$("$root/usr/bin/nvx" --version)" = "nvx (Norvix PC Monitor) $version" ]; }
check "nvx --version is the package version" nvx_version

nvx_ports() { (cd "$scratch" && "$root/usr/bin/nvx" ports | tee /dev/stderr | grep -q '^Start directory: '); }
check "nvx ports" nvx_ports

launcher() {
  local work=$scratch/home/work
  [ "$(NORVIX_WORK_DIR=$work QT_QPA_PLATFORM=offscreen "$root/usr/bin/norvix-monitor-start" --version)" = \
    "Norvix PC Monitor $version" ] || { echo "the monitor did not answer --version"; return 1; }
  cmp "$work/norvixosp.exe" "$root/usr/lib/norvix-monitor/norvixosp.exe" &&
    [ -x "$work/norvixosp.exe" ] &&
    cmp "$work/ReadMe.txt" "$root/usr/share/norvix-monitor/ReadMe.txt" &&
    for xml in "$root"/usr/share/norvix-monitor/devices/*.xml; do cmp "$xml" "$work/$(basename "$xml")" || return 1; done
}
check "norvix-monitor-start prepares a work directory" launcher

man_pages() {
  local page
  for page in "$root"/usr/share/man/man1/*.1.gz; do
    MANWIDTH=80 man --warnings -l "$page" 2>"$scratch/warnings" >/dev/null
    [ ! -s "$scratch/warnings" ] || { echo "$page:"; cat "$scratch/warnings"; return 1; }
  done
}
check "manual pages render without warnings" man_pages

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
