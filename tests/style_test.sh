#!/usr/bin/env bash
# The sources keep the style they are written in: C++ as .clang-format says,
# and every text file the whitespace .editorconfig asks for (LF line ends, a
# final newline, no trailing blanks, no tabs).
#   style_test.sh SOURCE_DIR CLANG_FORMAT
set -euo pipefail
source_dir=$1 clang_format=$2
cd "$source_dir"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files --cached --others --exclude-standard)
else
  mapfile -t files < <(find . -path ./build -prune -o -type f -print | sed 's|^\./||')
fi

failures=0
for file in "${files[@]}"; do
  [ -f "$file" ] || continue
  case "$file" in
    *.png) continue ;;
    *.cpp | *.h)
      if ! "$clang_format" --dry-run --Werror "$file" 2>/dev/null; then
        echo "FAIL: $file differs from .clang-format: $clang_format -i $file" >&2
        failures=$((failures + 1))
      fi
      ;;
  esac
  problems=()
  grep -q $'\r' "$file" && problems+=("CR line ends")
  grep -qE '[[:blank:]]$' "$file" && problems+=("trailing blanks on line $(grep -nE '[[:blank:]]$' "$file" | head -n 1 | cut -d: -f1)")
  grep -q $'\t' "$file" && problems+=("tabs")
  [ -s "$file" ] && [ -n "$(tail -c 1 "$file")" ] && problems+=("no final newline")
  if [ ${#problems[@]} -ne 0 ]; then
    echo "FAIL: $file: ${problems[*]}" >&2
    failures=$((failures + 1))
  fi
done
# The report's folders use only those before them in this order
# (report/CMakeLists.txt), so that arrows between them run one way.
layers=(base frames out parent child)
rank() {
  local i
  for i in "${!layers[@]}"; do
    [ "${layers[$i]}" = "$1" ] && echo "$i" && return
  done
  echo -1
}
for file in "${files[@]}"; do
  case "$file" in report/*/*) ;; *) continue ;; esac
  [ -f "$file" ] || continue
  from=$(cut -d/ -f2 <<<"$file")
  while read -r to; do
    if [ "$(rank "$from")" -lt 0 ] || [ "$(rank "$to")" -lt 0 ] || [ "$(rank "$to")" -gt "$(rank "$from")" ]; then
      echo "FAIL: $file ($from/) includes report/$to/, which comes after it: ${layers[*]}" >&2
      failures=$((failures + 1))
    fi
  done < <(grep -o '#include "report/[a-z]*/' "$file" | cut -d/ -f2 | sort -u)
done
[ "$failures" -eq 0 ] || exit 1
echo "${#files[@]} files keep their style ($("$clang_format" --version | head -n 1))"
