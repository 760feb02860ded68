#!/usr/bin/env bash
# check-layers.sh SRC_DIR — fails when an include points up the layers that
# docs/architecture.md draws (and CMakeLists.txt builds), from bottom to top:
#   platform, wire, session, content | voice, bridge, localllm, corvane, app,
#   settings, the widgets (every widgets/ folder), main.cpp and decoder/ (the
#   decoder worker's program).
# A file may include its own folder and any folder of a lower rank; content and
# voice share a rank and do not include each other. A decoder module (a modules/
# folder) includes only its own folder's interface and the platform's headers.
#
# What a file includes is what the preprocessor finds, not what a pattern reads:
# every source and header goes through the compiler's dependency output (-M)
# with SRC_DIR as the include folder, so any spelling counts (<app/X.h>,
# "../app/X.h", indented, tabs, a macro), and so do the headers a header pulls in.
# Headers outside SRC_DIR (Qt, the standard library, decoders) are not read:
# -nostdinc keeps the run short, and -MG lets a missing header pass.
set -uo pipefail
src=${1:?source folder}
cxx=${CXX:-c++}
cd "$src" || exit 2

mapfile -t files < <(find . \( -name '*.cpp' -o -name '*.h' \) -printf '%P\n' | LC_ALL=C sort)
[ "${#files[@]}" -gt 0 ] || { echo "no sources in $src"; exit 2; }
# Four preprocessors at once, each on every fourth file, each into its own file.
out=$(mktemp -d) || exit 2
trap 'rm -rf "$out"' EXIT
for part in 0 1 2 3; do
  chunk=()
  for ((i = part; i < ${#files[@]}; i += 4)); do chunk+=("${files[i]}"); done
  [ "${#chunk[@]}" -gt 0 ] || continue
  "$cxx" -std=c++20 -nostdinc -nostdinc++ -I. -w -x c++ -M -MG "${chunk[@]}" >"$out/$part.d" &
done
for job in $(jobs -p); do
  wait "$job" || { echo "the preprocessor failed on $src"; exit 2; }
done

awk -v files="$(printf '%s\n' "${files[@]}")" '
  function rank(layer) {
    if (layer == "platform") return 0; if (layer == "wire") return 1; if (layer == "session") return 2
    if (layer == "content" || layer == "voice") return 3; if (layer == "bridge") return 4
    if (layer == "localllm") return 5; if (layer == "corvane") return 6; if (layer == "app") return 7
    if (layer == "settings") return 8; if (layer == "widgets") return 9
    if (layer == "main" || layer == "decoder") return 10
    return -1
  }
  # A path as the preprocessor printed it, made relative to the source folder
  # ("./content/../app/X.h" is "app/X.h").
  function normal(path,   parts, n, i, out, depth, kept) {
    n = split(path, parts, "/"); depth = 0
    for (i = 1; i <= n; i++) {
      if (parts[i] == "." || parts[i] == "") continue
      if (parts[i] == ".." && depth > 0 && kept[depth] != "..") { depth--; continue }
      kept[++depth] = parts[i]
    }
    out = ""
    for (i = 1; i <= depth; i++) out = out (i > 1 ? "/" : "") kept[i]
    return out
  }
  function layerOf(path,   folder) {
    folder = path; sub(/\/.*/, "", folder)
    if (path ~ /\/widgets\//) return "widgets"
    if (path == "main.cpp") return "main"
    return folder
  }
  function check(file, included,   folder, layer, target, targetLayer, own, other) {
    # Headers outside the folder do not count, but a missing one in a layer
    # folder does ("app/Gone.h" would be found there once it exists).
    target = included; sub(/\/.*/, "", target)
    if (included == file || !(included in known || (target != included && target in folders))) return
    folder = file; sub(/\/.*/, "", folder)
    layer = layerOf(file); targetLayer = layerOf(included)
    if (file ~ /\/modules\//) {
      if ((target != folder && target != "platform") || included ~ /\/modules\//) {
        print file ": a module includes " included " (only its own folder'"'"'s interface)"; bad = 1
      }
      return
    }
    if (targetLayer == layer && (target == folder || layer == "widgets")) return
    own = rank(layer); other = rank(targetLayer)
    if (other < 0) return # not a layer folder
    if (other >= own) { print file ": includes " included ", which is not below it"; bad = 1 }
  }
  BEGIN {
    n = split(files, list, "\n")
    for (i = 1; i <= n; i++) { known[list[i]] = 1; top = list[i]; sub(/\/.*/, "", top); folders[top] = 1 }
  }
  {
    line = $0; continued = sub(/\\$/, "", line)
    if (!inRule) { sub(/^[^:]*:/, "", line); inRule = 1; file = "" }
    count = split(line, words, " ")
    for (i = 1; i <= count; i++) {
      path = normal(words[i])
      if (file == "") file = path; else check(file, path)
    }
    if (!continued) inRule = 0
  }
  END { exit bad }
' "$out"/*.d
