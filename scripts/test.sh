#!/usr/bin/env bash
# Checks first that no logic library reaches past its layer (a second, no build needed),
# then installs what is missing, builds and runs every test: in the normal build (the fault
# runs of the binary as a set of their own), in the ASan + UBSan build, in the ThreadSanitizer build (the fault and end-to-end runs too: about
# 3 minutes), and in the build without widgets (which proves the core needs none);
# builds the Debian package from the normal build and checks what it holds; then runs every
# fuzz target briefly over its corpus. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/check-layers.sh
scripts/install-deps.sh

# Paths under the checkout hash as relative, so a fresh clone reuses the compiler cache.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}" CCACHE_NOHASHDIR=1

jobs=$(nproc)
for preset in default asan tsan nogui; do
  echo "=== $preset build ==="
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset tests ==="
  ctest --preset "$preset" -j "$jobs" --timeout 300
  if [ "$preset" = default ]; then
    echo "=== fault runs ==="
    ctest --preset fault -j "$jobs" --timeout 300
    echo "=== Debian package ==="
    rm -f build/package/qarn-driver_*.deb
    timeout 900 cmake --build --preset default -j "$jobs" --target package
    scripts/check-package.sh build/package/qarn-driver_*.deb
  fi
done
echo "=== fuzz targets ==="
scripts/fuzz.sh "${QARN_FUZZ_SECONDS:-20}"
echo "all tests passed"
