#!/usr/bin/env bash
# Installs, builds and runs every test: the normal build, ASan+UBSan, TSan (concurrent
# suites only) and a bounded fuzzing run. Each flavour is configured and built once, in
# its own directory. Exits non-zero when anything fails.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh || exit 1

status=0
run_flavour() {
  local flavour=$1 dir=$2
  shift 2
  echo "== $flavour: build"
  if ! bash scripts/build.sh "$flavour"; then
    echo "== $flavour: build failed"; status=1; return
  fi
  echo "== $flavour: test"
  if ! (cd "$dir" && ctest --output-on-failure --no-tests=ignore -j2 "$@"); then
    status=1
  fi
}

run_flavour release build
run_flavour asan build-asan
run_flavour tsan build-tsan
run_flavour fuzz build-fuzz -L fuzz

if [ $status -ne 0 ]; then echo "test.sh: FAILED"; fi
exit $status
