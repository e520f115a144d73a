#!/usr/bin/env bash
# The layer check passes this checkout, and catches each kind of reach past a layer in a
# small tree of its own: an OS header, a Qt header, and base/ including another layer.
set -uo pipefail
check="$(cd "$(dirname "$0")/.." && pwd)/scripts/check-layers.sh"
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
failures=0

expect() {  # expect pass|fail description
  local want="$1" what="$2" rc=0
  "$check" "$tree" >/dev/null 2>&1 || rc=$?
  if { [ "$want" = pass ] && [ $rc -ne 0 ]; } || { [ "$want" = fail ] && [ $rc -eq 0 ]; }; then
    echo "FAILED: expected $want: $what"
    failures=$((failures + 1))
  fi
}

"$check" >/dev/null || { echo "FAILED: this checkout breaks its layers"; failures=$((failures + 1)); }

mkdir -p "$tree/src/base" "$tree/src/k8" "$tree/src/platform" "$tree/src/gui"
printf '#include <cstdint>\n#include <string>\n#include "base/bytes.h"\n' >"$tree/src/base/bytes.h"
printf '#include <string_view>\n#include "output/links.h"\n#include "platform/clock.h"\n' \
  >"$tree/src/k8/k8_link.cc"
printf '#include <unistd.h>\n#include <QObject>\n' >"$tree/src/platform/loop.cc"
printf '#include <QWidget>\n' >"$tree/src/gui/window.cc"
expect pass "the standard library, our own layers, and OS and Qt where they belong"

for bad in '<unistd.h>' '<sys/socket.h>' '<netinet/in.h>' '<QObject>' '<QtCore/QTimer>'; do
  cp "$tree/src/k8/k8_link.cc" "$tree/keep"
  printf '  #  include %s\n' "$bad" >>"$tree/src/k8/k8_link.cc"
  expect fail "a logic library includes $bad"
  mv "$tree/keep" "$tree/src/k8/k8_link.cc"
done

printf '#include "platform/file_system.h"\n' >"$tree/src/base/ini_file.h"
expect fail "base/ includes platform/"
rm "$tree/src/base/ini_file.h"
expect pass "the tree mended again"

[ $failures -eq 0 ] && echo "layer check test passed"
exit $((failures > 0))
