#!/usr/bin/env bash
# Installs what the build needs, builds, and runs every test: the normal build, then the
# library tests again under AddressSanitizer+UndefinedBehaviorSanitizer and under
# ThreadSanitizer. Ends with an "N passed, N failed" line; the exit status is the result.
#   ./test.sh             everything
#   ./test.sh --quick     the normal build only, no sanitizer runs
set -uo pipefail
cd "$(dirname "$0")" || exit 1
source scripts/setup.sh

quick=0
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    *) echo "unknown option: $arg" >&2; exit 2 ;;
  esac
done

dovela_ensure_packages || exit 1

passed=0
failed=0
status=0

# run_suite NAME DIR [CTEST OPTIONS...]: runs ctest in DIR and adds up its counts.
run_suite() {
  local name=$1 dir=$2 log
  shift 2
  log=$(mktemp)
  echo "== $name tests =="
  ctest --test-dir "$dir" --output-on-failure --parallel "$(nproc)" --timeout 300 --no-tests=error "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line total nfail
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    nfail=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
    passed=$((passed + total - nfail))
    failed=$((failed + nfail))
  elif [ "$rc" -ne 0 ]; then
    failed=$((failed + 1))
  fi
  [ "$rc" -eq 0 ] || status=1
  rm -f "$log"
}

# build_or_fail NAME DIR [CMAKE OPTIONS...]: a tree that does not build counts as one failure.
build_or_fail() {
  local name=$1 dir=$2
  shift 2
  echo "== $name build =="
  if ! dovela_build "$dir" "$@"; then
    failed=$((failed + 1))
    status=1
    return 1
  fi
}

build_or_fail normal build && run_suite normal build

# Static checks (scripts/lint.sh) on the normal tree's compile commands, on the files the last
# commit changed: the whole tree takes about 9 minutes on 2 cores, which would bring the run
# near its time budget (scripts/lint.sh alone checks it all). Without a parent commit (a
# shallow checkout) the whole tree is checked. A finding counts as one failure.
if [ -f build/compile_commands.json ]; then
  echo "== lint =="
  lint_args=()
  git rev-parse -q --verify HEAD~1 >/dev/null && lint_args=(--changed HEAD~1)
  if LINT_BUILD_DIR=build scripts/lint.sh "${lint_args[@]}"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    status=1
  fi
fi

if [ "$quick" -eq 0 ]; then
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  build_or_fail asan build-asan -DDOVELA_ASAN=ON -DCMAKE_BUILD_TYPE=Debug -DDOVELA_BUILD_BENCH=OFF -DDOVELA_BUILD_APP=OFF \
    && run_suite asan build-asan -L unit
  build_or_fail tsan build-tsan -DDOVELA_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDOVELA_BUILD_BENCH=OFF -DDOVELA_BUILD_APP=OFF \
    && run_suite tsan build-tsan -L unit
fi

echo "$passed passed, $failed failed"
exit "$status"
