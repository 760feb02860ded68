#!/usr/bin/env bash
# check-layers.sh SRC_DIR — fails when an include points up the layers that
# docs/architecture.md draws (and CMakeLists.txt builds), from bottom to top:
#   platform, wire, session, content | voice, bridge, localllm, corvane, app,
#   settings, the widgets (every widgets/ folder), main.cpp and decoder/ (the
#   decoder worker's program).
# A file may include its own folder and any folder of a lower rank; content and
# voice share a rank and do not include each other. A decoder module (a modules/
# folder) includes only its own folder's interface and the platform's headers.
set -uo pipefail
src=${1:?source folder}
rank() {
  case "$1" in
    platform) echo 0 ;; wire) echo 1 ;; session) echo 2 ;; content|voice) echo 3 ;;
    bridge) echo 4 ;; localllm) echo 5 ;; corvane) echo 6 ;; app) echo 7 ;; settings) echo 8 ;;
    widgets) echo 9 ;; main|decoder) echo 10 ;; *) echo -1 ;;
  esac
}
status=0
while IFS= read -r -d '' file; do
  rel=${file#"$src"/}
  folder=${rel%%/*}
  layer=$folder
  case "$rel" in */widgets/*) layer=widgets ;; main.cpp) layer=main ;; esac
  module=0
  case "$rel" in */modules/*) module=1 ;; esac
  own=$(rank "$layer")
  while IFS= read -r included; do
    target=${included%%/*}
    target_layer=$target
    case "$included" in */widgets/*) target_layer=widgets ;; esac
    if [ "$module" = 1 ]; then
      if [ "$target" != "$folder" ] || [[ "$included" == */modules/* ]]; then
        echo "$rel: a module includes $included (only its own folder's interface)"; status=1
      fi
      continue
    fi
    [ "$target_layer" = "$layer" ] && [ "$target" = "$folder" -o "$layer" = widgets ] && continue
    other=$(rank "$target_layer")
    [ "$other" -lt 0 ] && continue # not a layer folder (generated headers and the like)
    if [ "$other" -ge "$own" ]; then
      echo "$rel: includes $included, which is not below it"; status=1
    fi
  done < <(sed -n 's/^#include "\([a-z]*\/[^"]*\)".*/\1/p' "$file")
done < <(find "$src" -name '*.cpp' -print0 -o -name '*.h' -print0)
exit $status
