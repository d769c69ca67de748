#!/usr/bin/env bash
# scripts/build.sh [release|asan|tsan|fuzz] [ninja targets...]
# Configures (once) and builds one flavour in its own directory:
#   release -> build/   asan -> build-asan/   tsan -> build-tsan/   fuzz -> build-fuzz/
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:-release}
shift || true

extra=()
case "$flavour" in
  release) dir=build ;;
  asan) dir=build-asan; extra=(-DJEXO_SANITIZE=address -DJEXO_BENCHMARKS=OFF) ;;
  tsan) dir=build-tsan; extra=(-DJEXO_SANITIZE=thread -DJEXO_BENCHMARKS=OFF) ;;
  fuzz) dir=build-fuzz; extra=(-DJEXO_FUZZ=ON -DJEXO_BENCHMARKS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  *) echo "build.sh: unknown flavour $flavour" >&2; exit 2 ;;
esac

cmake -S "$root" -B "$root/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
if [ "$flavour" = fuzz ] && [ $# -eq 0 ]; then
  set -- fuzzers   # the fuzz flavour builds only the fuzz targets
fi
cmake --build "$root/$dir" -- "$@"
