#!/usr/bin/env bash
# Static checks: clang-tidy with the repository's .clang-tidy over the C++ sources, and a
# clang-format check (.clang-format) of every C++ file. Ends with "lint: clean" or the count
# of files with findings; the exit status is the result.
#   scripts/lint.sh                  the whole tree
#   scripts/lint.sh --changed BASE   only the files changed since the commit BASE
# clang-tidy takes the compile commands of a build tree: $LINT_BUILD_DIR, by default build/
# (configured without building when it has none yet).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

base=""
case "${1:-}" in
  "") ;;
  --changed)
    base=${2:-}
    [ -n "$base" ] || { echo "usage: $0 [--changed BASE]" >&2; exit 2; }
    ;;
  *) echo "usage: $0 [--changed BASE]" >&2; exit 2 ;;
esac

build=${LINT_BUILD_DIR:-build}
jobs=$(nproc)
folders=(ci socket providers sim bridge gui tests bench)

# The C++ files to look at: every tracked one, or those changed since BASE that still exist.
if [ -n "$base" ]; then
  mapfile -t files < <(git diff --name-only --diff-filter=d "$base" -- "${folders[@]}" |
                       grep -E '\.(cpp|h)$')
elif git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- "${folders[@]}" | grep -E '\.(cpp|h)$')
else  # an exported tree without git
  mapfile -t files < <(find "${folders[@]}" -name '*.cpp' -o -name '*.h' | sort)
fi
if [ ${#files[@]} -eq 0 ]; then
  echo "lint: no C++ files to check"
  exit 0
fi

if [ ! -f "$build/compile_commands.json" ]; then
  cmake -S . -B "$build" -G Ninja >/dev/null || { echo "lint: cannot configure $build" >&2; exit 1; }
fi

failed=0

# clang-format: each file as it stands against what the style makes of it.
format_bad=()
for f in "${files[@]}"; do
  clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || format_bad+=("$f")
done
for f in "${format_bad[@]}"; do echo "clang-format: $f is not formatted (clang-format -i $f)"; done
failed=$((failed + ${#format_bad[@]}))

# clang-tidy runs on the sources of the compile commands; a changed header is checked
# through the source of the same name beside it, when there is one.
mapfile -t known < <(python3 -c '
import json, os, sys
for entry in json.load(open(sys.argv[1])):
    print(os.path.relpath(entry["file"], os.getcwd()))' "$build/compile_commands.json" | sort -u)
declare -A inDatabase=()
for f in "${known[@]}"; do inDatabase[$f]=1; done
declare -A sources=()
for f in "${files[@]}"; do
  case "$f" in
    *.h) f=${f%.h}.cpp ;;
  esac
  [ -n "${inDatabase[$f]:-}" ] && sources[$f]=1
done

if [ ${#sources[@]} -gt 0 ]; then
  log=$(mktemp)
  printf '%s\n' "${!sources[@]}" | sort |
    xargs -P "$jobs" -n 1 sh -c 'out=$(clang-tidy -p "$0" --quiet "$1" 2>/dev/null) || true
      if printf "%s" "$out" | grep -qE ": (warning|error):"; then
        printf "%s\n" "$out"; echo "clang-tidy: findings in $1"
      fi' "$build" >"$log"
  cat "$log"
  failed=$((failed + $(grep -c '^clang-tidy: findings in ' "$log")))
  rm -f "$log"
fi

if [ "$failed" -eq 0 ]; then
  echo "lint: clean (${#files[@]} files, ${#sources[@]} compiled by clang-tidy)"
  exit 0
fi
echo "lint: $failed files with findings"
exit 1
