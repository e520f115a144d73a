#!/usr/bin/env bash
# Fails when a library reaches past its layer, as the table of docs/ARCHITECTURE.md says:
# - each library includes of our folders only those of its row in `may` below (its own always);
# - the logic libraries include of the rest only the C++ standard library, so no OS header
#   (<unistd.h>, <sys/socket.h>) and no Qt header: the OS is platform/'s alone, Qt is
#   platform/'s, gui/'s and app/'s.
# No exception is allowed today; should one become necessary, list it in `allowed` below as
# "file:header" (header without its brackets or quotes), with its reason beside it.
# Usage: scripts/check-layers.sh [source root]   (default: this checkout)
set -euo pipefail
root="${1:-$(dirname "$0")/..}"
cd "$root"

# library: the folders of ours it may include besides its own. app/ may include everything.
may=(
  "base:"
  "platform:base"
  "serial:base platform"
  "output:base platform"
  "station:base platform output serial"
  "k7:base platform output"
  "k8:base platform output"
  "shell:base platform output serial station k7 k8"
  "gui:shell"
  "app:base platform output serial station k7 k8 shell gui"
)
logic="base output station serial k7 k8 shell"
allowed=()

# One pass of grep and awk over every file, so the check costs well under a second.
dirs=()
for row in "${may[@]}"; do lib="${row%%:*}"; [ -d "src/$lib" ] && dirs+=("src/$lib"); done
[ ${#dirs[@]} -gt 0 ] || { echo "layer check: no src/ under $root" >&2; exit 1; }
failed=0
grep -rHE '^[[:space:]]*#[[:space:]]*include' --include='*.h' --include='*.cc' "${dirs[@]}" |
  awk -v allowed="${allowed[*]-}" -v rows="${may[*]}" -v logic="$logic" '
    BEGIN {
      n = split(allowed, list, " "); for (i = 1; i <= n; i++) ok[list[i]] = 1
      n = split(logic, list, " "); for (i = 1; i <= n; i++) is_logic[list[i]] = 1
      # rows: "lib:a b" entries joined by spaces; a word with a colon starts a row.
      n = split(rows, words, " ")
      for (i = 1; i <= n; i++) {
        if (index(words[i], ":")) {
          lib = substr(words[i], 1, index(words[i], ":") - 1)
          known[lib] = 1; rule[lib] = ""; may[lib, lib] = 1
          words[i] = substr(words[i], index(words[i], ":") + 1)
          if (words[i] == "") continue
        }
        may[lib, words[i]] = 1; rule[lib] = rule[lib] (rule[lib] == "" ? "" : " ") words[i] "/"
      }
    }
    {
      file = substr($0, 1, index($0, ":") - 1)
      if (!match($0, /[<"][^>"]*[>"]/)) next
      header = substr($0, RSTART, RLENGTH); name = substr(header, 2, RLENGTH - 2)
      split(file, part, "/"); lib = part[2]
      why = ""
      # The standard library'"'"'s headers are bare lower-case names: <string>, <cstdint>.
      if (header ~ /^</ && (lib in is_logic) && name !~ /^[a-z_]+$/)
        why = lib "/ is logic: the standard library only, no OS or Qt header"
      if (header ~ /^"/ && index(name, "/")) {
        folder = substr(name, 1, index(name, "/") - 1)
        if ((folder in known) && !((lib, folder) in may)) {
          why = lib "/ may include only " rule[lib] (rule[lib] == "" ? "" : " and ") lib "/, not " \
                folder "/"
        }
      }
      if (why != "" && !((file ":" name) in ok)) {
        print "layer check: " file " includes " header ": " why > "/dev/stderr"
        bad = 1
      }
    }
    END { exit bad }' || failed=1

if [ "$failed" -ne 0 ]; then
  echo "layer check failed: see the table of docs/ARCHITECTURE.md; OS and Qt code goes to platform/" >&2
  exit 1
fi
echo "layer check passed"
