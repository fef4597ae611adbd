#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Folders depend one way: a folder under src/ (and tools/) may include and
# link only the folders listed above it in the README's layout table, never
# one listed below it. Fails, naming the file and line, when one does.
#
# Usage: include_layers_test.sh SOURCE_DIR
#        include_layers_test.sh --self-test   (the check catches an upward
#                                              include and an upward link)
#        include_layers_test.sh --views SOURCE_DIR LAYERS_DIR CXX
#            (each library's include view holds exactly its own folder and
#             the ones above it, and the compiler finds a header of the
#             folder's own but not one of the folder below it)
set -uo pipefail

check() {
  local root="$1"
  # The layer order: the `src/<name>/` and `tools/` rows of the layout table.
  local -a order
  mapfile -t order < <(sed -nE 's/^\| `(src\/)?([a-z_]+)\/` \|.*/\2/p' "$root/README.md")
  if [ ${#order[@]} -lt 3 ]; then
    echo "FAIL: no layout table found in $root/README.md"
    return 1
  fi
  declare -A rank
  local i=0 name
  for name in "${order[@]}"; do rank[$name]=$i; i=$((i + 1)); done

  local status=0 dir file line target
  for name in "${order[@]}"; do
    dir="$root/src/$name"
    [ "$name" = tools ] && dir="$root/tools"
    [ -d "$dir" ] || continue
    # #include "<folder>/..." of a folder further down the table.
    while IFS=: read -r file line target; do
      if [ -n "${rank[$target]:-}" ] && [ "${rank[$target]}" -gt "${rank[$name]}" ]; then
        echo "FAIL: $file:$line: $name includes $target, which lies above it"
        status=1
      fi
    done < <(grep -rnoE '^#include "[a-z_]+/' "$dir" --include='*.h' --include='*.cc' |
             sed -E 's/#include "([a-z_]+)\//\1/')
    # Libraries linked in the folder's CMakeLists.txt (vexokrt_<folder>; the
    # target's own name ranks level with it and passes).
    [ -f "$dir/CMakeLists.txt" ] || continue
    while IFS=: read -r line target; do
      if [ -n "${rank[$target]:-}" ] && [ "${rank[$target]}" -gt "${rank[$name]}" ]; then
        echo "FAIL: $dir/CMakeLists.txt:$line: $name links vexokrt_$target, which lies above it"
        status=1
      fi
    done < <(awk '/target_link_libraries\(/ { on = 1 }
                  on { n = split($0, w, /[ ()\t]+/)
                       for (k = 1; k <= n; k++) if (w[k] ~ /^vexokrt_[a-z_]+$/) print FNR ":" substr(w[k], 9) }
                  on && /\)/ { on = 0 }' "$dir/CMakeLists.txt")
  done
  return $status
}

views() {
  local root="$1" layers="$2" cxx="$3"
  local -a order
  mapfile -t order < <(sed -nE 's/^\| `src\/([a-z_]+)\/` \|.*/\1/p' "$root/README.md")
  local status=0 seen=0 v g i j probe
  for ((i = 0; i < ${#order[@]}; i++)); do
    v="${order[$i]}"
    [ -d "$layers/$v" ] || continue
    seen=$((seen + 1))
    for ((j = 0; j < ${#order[@]}; j++)); do
      g="${order[$j]}"
      if [ "$j" -le "$i" ] && [ ! -d "$layers/$v/$g" ]; then
        echo "FAIL: the view of $v lacks $g, which lies above it"; status=1
      elif [ "$j" -gt "$i" ] && [ -e "$layers/$v/$g" ]; then
        echo "FAIL: the view of $v holds $g, which lies below it"; status=1
      fi
    done
    # What the compiler makes of it: a header of the folder itself is found,
    # one of the next folder down is not.
    probe="$(cd "$root/src" && ls "$v"/*.h 2>/dev/null | head -n 1)"
    if [ -n "$probe" ] && ! printf '#include "%s"\n' "$probe" | "$cxx" -std=c++20 -E -I"$layers/$v" -x c++ - -o /dev/null 2>/dev/null; then
      echo "FAIL: $probe is not found through the view of $v"; status=1
    fi
    if [ $((i + 1)) -lt ${#order[@]} ]; then
      probe="$(cd "$root/src" && ls "${order[$((i + 1))]}"/*.h 2>/dev/null | head -n 1)"
      if [ -n "$probe" ] && printf '#include "%s"\n' "$probe" | "$cxx" -std=c++20 -E -I"$layers/$v" -x c++ - -o /dev/null 2>/dev/null; then
        echo "FAIL: $probe, from below, is found through the view of $v"; status=1
      fi
    fi
  done
  if [ "$seen" -lt 10 ]; then
    echo "FAIL: only $seen include views in $layers"; status=1
  fi
  [ $status -eq 0 ] && echo "include views: $seen libraries each see their own folder and the ones above it only"
  return $status
}

self_test() {
  local tmp
  tmp="$(mktemp -d)"
  trap 'rm -rf "$tmp"' RETURN
  mkdir -p "$tmp/src/platform" "$tmp/src/link" "$tmp/src/service"
  printf '| folder | what |\n|---|---|\n| `src/platform/` | a |\n| `src/link/` | b |\n| `src/service/` | c |\n' >"$tmp/README.md"
  printf '#include "platform/a.h"\n' >"$tmp/src/link/ok.cc"
  printf 'target_link_libraries(vexokrt_link PUBLIC vexokrt_platform)\n' >"$tmp/src/link/CMakeLists.txt"
  check "$tmp" >/dev/null || { echo "FAIL: self-test: a tree that depends downward was refused"; return 1; }
  printf '#include "link/b.h"\n' >"$tmp/src/platform/up.h"
  local out
  out="$(check "$tmp")"
  if grep -q 'platform/up.h:1: platform includes link' <<<"$out"; then :; else
    echo "FAIL: self-test: an upward include was not caught"; return 1
  fi
  rm "$tmp/src/platform/up.h"
  printf 'target_link_libraries(vexokrt_link PUBLIC\n  vexokrt_platform vexokrt_service)\n' >"$tmp/src/link/CMakeLists.txt"
  out="$(check "$tmp")"
  if grep -q 'CMakeLists.txt:2: link links vexokrt_service' <<<"$out"; then :; else
    echo "FAIL: self-test: an upward link was not caught"; return 1
  fi
  echo "include layers self-test: upward includes and links are caught"
}

if [ "${1:-}" = --views ]; then
  views "$2" "$3" "$4"
  exit $?
fi
if [ "${1:-}" = --self-test ]; then
  self_test
  exit $?
fi
if check "$1"; then
  echo "include layers: every folder includes and links only folders above it in the layout table"
  exit 0
fi
exit 1
