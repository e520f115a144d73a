#!/usr/bin/env bash
# The layer check passes this checkout, and catches each kind of reach past a layer in a
# small tree of its own: an OS header, a Qt header, and a library including a folder its row
# of the table does not give it, naming the file, the include and the rule.
set -uo pipefail
check="$(cd "$(dirname "$0")/.." && pwd)/scripts/check-layers.sh"
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
failures=0

expect() {  # expect pass|fail description [text the failure must show]
  local want="$1" what="$2" text="${3-}" rc=0
  "$check" "$tree" >/dev/null 2>"$tree/err" || rc=$?
  if { [ "$want" = pass ] && [ $rc -ne 0 ]; } || { [ "$want" = fail ] && [ $rc -eq 0 ]; }; then
    echo "FAILED: expected $want: $what"
    failures=$((failures + 1))
  elif [ -n "$text" ] && ! grep -qF -- "$text" "$tree/err"; then
    echo "FAILED: $what: no \"$text\" in: $(cat "$tree/err")"
    failures=$((failures + 1))
  fi
}

# plant file line: appends one line to a file of the tree, kept to be restored by mend.
plant() { cp "$tree/$1" "$tree/keep"; printf '%s\n' "$2" >>"$tree/$1"; }
mend() { mv "$tree/keep" "$tree/$1"; }

"$check" >/dev/null || { echo "FAILED: this checkout breaks its layers"; failures=$((failures + 1)); }

for lib in base platform serial output station k7 k8 shell gui app; do mkdir -p "$tree/src/$lib"; done
printf '#include <cstdint>\n#include <string>\n#include "base/bytes.h"\n' >"$tree/src/base/bytes.h"
printf '#include <unistd.h>\n#include <QObject>\n#include "base/bytes.h"\n' >"$tree/src/platform/loop.cc"
printf '#include "base/bytes.h"\n#include "platform/clock.h"\n#include "serial/a.h"\n' \
  >"$tree/src/serial/port.cc"
printf '#include "platform/file_system.h"\n#include "output/links.h"\n' >"$tree/src/output/spool.cc"
printf '#include "output/links.h"\n#include "serial/station_port.h"\n' >"$tree/src/station/proto.cc"
printf '#include <string_view>\n#include "output/links.h"\n#include "platform/clock.h"\n' \
  >"$tree/src/k8/k8_link.cc"
printf '#include "output/links.h"\n#include "platform/k7_client.h"\n' >"$tree/src/k7/exchange.cc"
printf '#include "k7/a.h"\n#include "k8/b.h"\n#include "station/c.h"\n#include "serial/d.h"\n' \
  >"$tree/src/shell/driver.cc"
printf '#include <QWidget>\n#include "shell/driver.h"\n' >"$tree/src/gui/window.cc"
printf '#include <QCoreApplication>\n#include "gui/w.h"\n#include "platform/q.h"\n' \
  >"$tree/src/app/main.cc"
expect pass "the table's own includes, and OS and Qt where they belong"

for bad in '<unistd.h>' '<sys/socket.h>' '<netinet/in.h>' '<QObject>' '<QtCore/QTimer>'; do
  plant src/k8/k8_link.cc "  #  include $bad"
  expect fail "a logic library includes $bad" "src/k8/k8_link.cc includes $bad"
  mend src/k8/k8_link.cc
done

# Each row of the table refuses a folder it does not name, upwards or sideways.
while read -r file include rule; do
  plant "$file" "#include \"$include\""
  expect fail "$file includes $include" "$file includes \"$include\": $rule"
  mend "$file"
done <<'ROWS'
src/base/bytes.h platform/file_system.h base/ may include only base/, not platform/
src/platform/loop.cc serial/station_port.h platform/ may include only base/ and platform/, not serial/
src/serial/port.cc output/links.h serial/ may include only base/ platform/ and serial/, not output/
src/output/spool.cc station/station_protocol.h output/ may include only base/ platform/ and output/, not station/
src/station/proto.cc k8/port_state.h station/ may include only base/ platform/ output/ serial/ and station/, not k8/
src/k8/k8_link.cc k7/k7_exchange.h k8/ may include only base/ platform/ output/ and k8/, not k7/
src/k7/exchange.cc serial/station_port.h k7/ may include only base/ platform/ output/ and k7/, not serial/
src/shell/driver.cc gui/main_window.h shell/ may include only base/ platform/ output/ serial/ station/ k7/ k8/ and shell/, not gui/
src/gui/window.cc platform/diag.h gui/ may include only shell/ and gui/, not platform/
ROWS
expect pass "the tree mended again"

[ $failures -eq 0 ] && echo "layer check test passed"
exit $((failures > 0))
