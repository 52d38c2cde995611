#!/usr/bin/env bash
# Lints the tree: pyflakes3 on every Python file, shellcheck on every shell
# script (by name or by its #! line; packaging/'s templates too). Fails on
# any finding. A finding that is wrong is silenced on its line, with the
# reason beside it (`# noqa: ...`, `# shellcheck disable=...`).
#   scripts/lint.sh [ROOT]    ROOT: the tree to lint, by default this one
set -euo pipefail
root=$(cd "${1:-"$(dirname "$0")/.."}" && pwd)

python_files=()
shell_files=()
while IFS= read -r -d '' file; do
  first=$(head -c 100 "$file" | head -n 1 | tr -d '\0')
  case "$file" in
    *.py) python_files+=("$file"); continue ;;
    *.sh) shell_files+=("$file"); continue ;;
  esac
  case "$first" in
    '#!'*python*) python_files+=("$file") ;;
    '#!'*/sh|'#!'*/bash|'#!'*' sh'|'#!'*' bash') shell_files+=("$file") ;;
  esac
done < <(find "$root" \( -name .git -o -name build -o -name dist \) -prune \
              -o -type f -print0 | sort -z)

status=0
if [ ${#python_files[@]} -gt 0 ]; then
  pyflakes3 "${python_files[@]}" || status=1
fi
if [ ${#shell_files[@]} -gt 0 ]; then
  # -x: what a script sources is checked with it.
  shellcheck -x "${shell_files[@]}" || status=1
fi
verdict=clean
[ $status -eq 0 ] || verdict="findings above"
echo "lint: ${#python_files[@]} Python files, ${#shell_files[@]} shell scripts in $root: $verdict"
exit $status
