#!/usr/bin/env bash
# Builds kqsd and runs every test suite through CTest.
#   scripts/test.sh             normal build in build/
#   KQS_SANITIZE=1 scripts/test.sh   ASan+UBSan build in build-asan/
# Tests that start daemons or bind fixed ports enter private network
# namespaces themselves, so the suite needs root (as CI and sessions run).
# On a fresh Debian machine it first installs what the build and the suites
# need: GoogleTest, CUPS (the private schedulers of the printing tests),
# snmpd and tshark (the probe tests), ansible-core (the collection's test),
# man-db and groff-base (the manual pages), systemd (the unit's checks),
# bash-completion (the completion's test), cpp-httplib (kqsctl web) and
# Chromium with selenium (its browser test), and for the package tests
# (ctest -L package, normal build only) debhelper, lintian and debootstrap,
# and the Debian packages of the tools ansible-test sanity runs.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
ensure_packages cmake ninja-build g++ binutils libgtest-dev libgmock-dev libcrypt-dev libc-dev-bin libcups2-dev libssl-dev openssl \
  cups-daemon cups-client iproute2 util-linux procps snmpd tshark ansible-core man-db groff-base systemd \
  bash-completion libcpp-httplib-dev pkg-config chromium chromium-driver python3 python3-selenium
if [[ "${KQS_SANITIZE:-0}" != 1 ]]; then
  ensure_packages git build-essential debhelper dpkg-dev lintian debootstrap python3-voluptuous pylint pycodestyle yamllint \
    python3-yaml
fi
ensure_service_account
if [[ "${KQS_SANITIZE:-0}" == 1 ]]; then
  dir=build-asan
  flags=(-DKQS_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
else
  dir=build
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
fi
cmake -S . -B "$dir" -G Ninja -DKQS_BUILD_TESTS=ON "${flags[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
cd "$dir"
ctest --output-on-failure -j"$(nproc)" "$@"
