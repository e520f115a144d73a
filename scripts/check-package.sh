#!/usr/bin/env bash
# Checks a built qarn-driver Debian package: its name and maintainer scripts, that it holds
# the programs, units, sysusers entry, man pages and samples, that its sample sqarn.ini
# passes the driver's own check, and (where systemd-analyze is installed) that the units
# verify without a word of complaint.
# Usage: scripts/check-package.sh build/package/qarn-driver_<version>_<arch>.deb
set -euo pipefail
deb=${1:?usage: $0 PACKAGE.deb}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check-package: $*" >&2; exit 1; }

[ "$(dpkg-deb -f "$deb" Package)" = qarn-driver ] || fail "package name is not qarn-driver"
dpkg-deb -I "$deb" postinst >/dev/null || fail "no postinst"
dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|' > "$work/contents"
for path in \
  /usr/bin/qarn-driver /usr/bin/qarn-station-sim /usr/bin/qarn-server-sim \
  /usr/lib/systemd/system/qarn-driver.service /usr/lib/systemd/system/qarn-driver@.service \
  /usr/lib/sysusers.d/qarn-driver.conf \
  /usr/share/man/man8/qarn-driver.8.gz /usr/share/man/man5/sqarn.ini.5.gz \
  /usr/share/man/man1/qarn-station-sim.1.gz /usr/share/man/man1/qarn-server-sim.1.gz \
  /usr/share/doc/qarn-driver/examples/sqarn.ini \
  /usr/share/doc/qarn-driver/examples/60-qarn-station.rules \
  /usr/share/doc/qarn-driver/examples/qarn-driver-autostart.desktop \
  /usr/share/applications/qarn-driver.desktop /usr/libexec/qarn-driver/qarn-driver-window; do
  grep -qxF "$path" "$work/contents" || fail "missing $path"
done

root="$work/root"
dpkg-deb -x "$deb" "$root"
for page in "$root"/usr/share/man/man*/*.gz; do
  gzip -dc "$page" | grep -q '^\.SH NAME' || fail "$page is no man page"
done

# The sample configuration is clean: every key with its default, and no problem.
mkdir "$work/station"
cp "$root/usr/share/doc/qarn-driver/examples/sqarn.ini" "$work/station/"
(cd "$work/station" && "$root/usr/bin/qarn-driver" --check-config > check.txt) ||
  { cat "$work/station/check.txt"; fail "the sample sqarn.ini has problems"; }
if grep -q '; default$' "$work/station/check.txt"; then
  cat "$work/station/check.txt"
  fail "the sample sqarn.ini lacks a key"
fi

if command -v systemd-analyze >/dev/null; then
  units="$work/units"
  mkdir "$units"
  for unit in qarn-driver.service qarn-driver@.service; do
    sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" \
      "$root/usr/lib/systemd/system/$unit" > "$units/$unit"
  done
  cp "$units/qarn-driver@.service" "$units/qarn-driver@north.service"
  complaints=$(cd "$units" && systemd-analyze verify --man=no ./qarn-driver.service \
    ./qarn-driver@north.service 2>&1) || true
  [ -z "$complaints" ] || fail "systemd-analyze verify: $complaints"
else
  echo "check-package: systemd-analyze not installed; units not verified"
fi
echo "check-package: $(basename "$deb") holds $(wc -l < "$work/contents") entries; all checks passed"
