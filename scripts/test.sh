#!/usr/bin/env bash
# Builds kqsd and runs every test suite through CTest.
#   scripts/test.sh             normal build in build/
#   KQS_SANITIZE=1 scripts/test.sh   ASan+UBSan build in build-asan/
# Tests that start daemons or bind fixed ports enter private network
# namespaces themselves, so the suite needs root (as CI and sessions run).
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ "${KQS_SANITIZE:-0}" == 1 ]]; then
  dir=build-asan
  flags=(-DKQS_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
else
  dir=build
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
fi
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
cd "$dir"
ctest --output-on-failure -j"$(nproc)" "$@"
