#!/bin/bash
# The project's scripts through the linters: each shell script (by its first line, or
# .sh) through shellcheck, each Python one (.py, or by its first line) through pyflakes;
# and a script that pipes sets pipefail, which shellcheck does not ask for, so that a
# pipe's failure is not lost (a sourced one has its caller's).
# Usage: lint.sh SOURCE_DIR
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: lint.sh SOURCE_DIR" >&2; exit 2; }
cd "$1"
shell=() python=()
while IFS= read -r -d '' file; do
    case $file:$(head -c 64 "$file" | head -n 1) in
        *.py:* | *:'#!'*python*) python+=("$file") ;;
        *.sh:* | *:'#!'*sh) shell+=("$file") ;;
    esac
done < <(git ls-files -z)
echo "lint: ${#shell[@]} shell scripts, ${#python[@]} Python scripts"
status=0
shellcheck -x "${shell[@]}" || status=1
pyflakes3 "${python[@]}" || status=1
for file in "${shell[@]}"; do
    if head -n 1 "$file" | grep -q '^#!' && grep -Eq '^[^#]*[^|]\|[^|]' "$file" &&
        ! grep -Eq '^set -[a-z]*o pipefail|^set -o pipefail' "$file"; then
        echo "lint: $file pipes without set -o pipefail" >&2
        status=1
    fi
done
exit $status
