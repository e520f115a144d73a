#!/usr/bin/env bash
# Fails when a logic library reaches past its layer: the logic libraries include only the
# C++ standard library (so no OS header such as <unistd.h> or <sys/socket.h>, and no Qt
# header), and base/ includes nothing of ours outside base/. The OS is platform/'s alone,
# Qt is platform/'s, gui/'s and app/'s. No exception is allowed today; should one become
# necessary, list it in `allowed` below as "file:header" (header without its brackets), with its
# reason beside it.
# Usage: scripts/check-layers.sh [source root]   (default: this checkout)
set -euo pipefail
root="${1:-$(dirname "$0")/..}"
cd "$root"

logic=(base output station serial k7 k8 shell)
allowed=()

# One pass of grep and awk over every file, so the check costs well under a second.
dirs=()
for lib in "${logic[@]}"; do [ -d "src/$lib" ] && dirs+=("src/$lib"); done
failed=0
grep -rHE '^[[:space:]]*#[[:space:]]*include' --include='*.h' --include='*.cc' "${dirs[@]}" |
  awk -v allowed="${allowed[*]-}" '
    BEGIN { n = split(allowed, list, " "); for (i = 1; i <= n; i++) ok[list[i]] = 1 }
    {
      file = substr($0, 1, index($0, ":") - 1)
      if (!match($0, /[<"][^>"]*[>"]/)) next
      header = substr($0, RSTART, RLENGTH); name = substr(header, 2, RLENGTH - 2)
      split(file, part, "/"); lib = part[2]
      why = ""
      # The standard library'"'"'s headers are bare lower-case names: <string>, <cstdint>.
      if (header ~ /^</ && name !~ /^[a-z_]+$/) why = "not the standard library"
      if (header ~ /^"/ && lib == "base" && name !~ /^base\//) why = "base/ includes only base/"
      if (why != "" && !((file ":" name) in ok)) {
        print "layer check: " file " includes " header " (" why ")" > "/dev/stderr"
        bad = 1
      }
    }
    END { exit bad }' || failed=1

if [ "$failed" -ne 0 ]; then
  echo "layer check failed: move the code to platform/ (OS, Qt) or into base/" >&2
  exit 1
fi
echo "layer check passed"
