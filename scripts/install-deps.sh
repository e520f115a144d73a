#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
set -euo pipefail

# libsystemd-dev and pkg-config: readiness and status under systemd; scdoc: the man pages;
# dpkg-dev: the package's library dependencies; systemd: systemd-analyze checks the units.
# ccache: rebuilds of the four presets reuse what an earlier run compiled.
# prometheus-cpp-dev: the /metrics exposer; prometheus: promtool checks a scrape in the tests.
packages=(qt6-base-dev qt6-qpa-plugins libgtest-dev libgmock-dev libbenchmark-dev
          cmake ninja-build g++ clang libclang-rt-14-dev libsystemd-dev pkg-config scdoc dpkg-dev
          systemd ccache prometheus-cpp-dev prometheus)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "installing: ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
