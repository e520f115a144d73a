#!/usr/bin/env bash
# Checks a built qarn-driver Debian package: its name and maintainer scripts, that it holds
# the programs, units, sysusers entry, journal catalog, man pages and samples, that its sample sqarn.ini
# passes the driver's own check, and (where systemd-analyze is installed) that the units
# verify without a word of complaint, alone and with the SetClock=0 drop-in, and expose no
# more than they do now: a "systemd-analyze security" level of at most 2.2, 1.3 with the
# drop-in.
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
  /usr/lib/sysusers.d/qarn-driver.conf /usr/lib/systemd/catalog/qarn-driver.catalog \
  /usr/share/man/man8/qarn-driver.8.gz /usr/share/man/man5/sqarn.ini.5.gz \
  /usr/share/man/man1/qarn-station-sim.1.gz /usr/share/man/man1/qarn-server-sim.1.gz \
  /usr/share/doc/qarn-driver/examples/sqarn.ini \
  /usr/share/doc/qarn-driver/examples/60-qarn-station.rules \
  /usr/share/doc/qarn-driver/examples/no-clock.conf \
  /usr/share/doc/qarn-driver/examples/qarn-driver-autostart.desktop \
  /usr/share/applications/qarn-driver.desktop /usr/libexec/qarn-driver/qarn-driver-window; do
  grep -qxF "$path" "$work/contents" || fail "missing $path"
done

root="$work/root"
dpkg-deb -x "$deb" "$root"
for page in "$root"/usr/share/man/man*/*.gz; do
  gzip -dc "$page" | grep -q '^\.SH NAME' || fail "$page is no man page"
done

# The journal catalog reads: every entry the driver sends has its text under its id.
if command -v journalctl >/dev/null; then
  mkdir -p "$work/catalog/usr/lib/systemd/catalog" "$work/catalog/var/lib/systemd/catalog"
  cp "$root/usr/lib/systemd/catalog/qarn-driver.catalog" "$work/catalog/usr/lib/systemd/catalog/"
  journalctl --root="$work/catalog" --update-catalog 2>"$work/catalog.err" ||
    { cat "$work/catalog.err"; fail "journalctl cannot read qarn-driver.catalog"; }
  [ ! -s "$work/catalog.err" ] || { cat "$work/catalog.err"; fail "qarn-driver.catalog: complaints"; }
  ids=$(grep -c '^-- ' "$root/usr/lib/systemd/catalog/qarn-driver.catalog")
  listed=$(journalctl --root="$work/catalog" --list-catalog 2>/dev/null | grep -c ' qarn-driver: ')
  [ "$ids" = "$listed" ] || fail "qarn-driver.catalog: $ids entries, journalctl lists $listed"
fi

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
  verify_units() { # WHAT
    local complaints
    complaints=$(cd "$units" && systemd-analyze verify --man=no ./qarn-driver.service \
      ./qarn-driver@north.service 2>&1) || true
    [ -z "$complaints" ] || fail "systemd-analyze verify$1: $complaints"
  }
  verify_units ""
  # And with the drop-in for SetClock=0 centres, which verify reads beside each unit.
  for unit in qarn-driver.service qarn-driver@.service; do
    mkdir "$units/$unit.d"
    cp "$root/usr/share/doc/qarn-driver/examples/no-clock.conf" "$units/$unit.d/"
  done
  verify_units " with no-clock.conf"

  # The exposure level, as systemd-analyze rates the unit (0 exposes nothing, 10 all). Of the
  # template's 2.2 the right to set the clock (SetClock=1) costs 0.9: the capability, no
  # ProtectClock=, clock_settime allowed, no PrivateUsers=; what is left is a network service
  # that opens serial devices as they come and go (no PrivateNetwork=, IPAddressDeny= or
  # PrivateDevices=). The drop-in for SetClock=0 takes that 0.9 away.
  exposure() {
    systemd-analyze security --offline=yes --root="$root" "$1" 2>&1 |
      sed -n 's/^.*Overall exposure level for [^:]*: \([0-9][0-9.]*\).*$/\1/p'
  }
  check_exposure() { # UNIT MAX WHAT
    local level
    level=$(exposure "$1")
    [ -n "$level" ] || fail "systemd-analyze security gave no exposure level for $1"
    awk -v l="$level" -v m="$2" 'BEGIN { exit !(l <= m) }' ||
      fail "$3: exposure level $level, more than $2 (systemd-analyze security --offline=yes)"
    echo "check-package: $3: exposure level $level (at most $2)"
  }
  check_exposure qarn-driver@north.service 2.2 qarn-driver@.service
  check_exposure qarn-driver.service 2.2 qarn-driver.service
  for unit in qarn-driver.service qarn-driver@.service; do
    mkdir -p "$root/etc/systemd/system/$unit.d"
    cp "$root/usr/share/doc/qarn-driver/examples/no-clock.conf" "$root/etc/systemd/system/$unit.d/"
  done
  check_exposure qarn-driver@north.service 1.3 "qarn-driver@.service with no-clock.conf"
  check_exposure qarn-driver.service 1.3 "qarn-driver.service with no-clock.conf"
else
  echo "check-package: systemd-analyze not installed; units not verified"
fi
echo "check-package: $(basename "$deb") holds $(wc -l < "$work/contents") entries; all checks passed"
