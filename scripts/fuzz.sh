#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each one for
# a bounded time on a copy of its seed corpus (fuzz/corpus/<name>/), so runs do
# not grow the repository. A crash stops the script with the failing input
# left in the run's directory and printed.
#   scripts/fuzz.sh                 every target, FUZZ_SECONDS (20) each
#   scripts/fuzz.sh ini_fuzz        one target
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
ensure_packages cmake ninja-build clang libclang-rt-14-dev libcrypt-dev libc-dev-bin libcups2-dev libssl-dev libcpp-httplib-dev pkg-config
seconds="${FUZZ_SECONDS:-20}"
targets=("$@")
((${#targets[@]})) || targets=(request_fuzz response_fuzz params_fuzz ini_fuzz wildcard_fuzz)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKQS_FUZZ=ON -DKQS_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}"

work="$(mktemp -d /tmp/kqs-fuzz.XXXXXX)"
failed=0
for t in "${targets[@]}"; do
  corpus="$work/${t%_fuzz}"
  mkdir -p "$corpus" "$work/$t-artifacts"
  cp fuzz/corpus/"${t%_fuzz}"/* "$corpus"/
  echo "== $t: ${seconds}s"
  # -timeout: one input taking over 2 s is a hang; -rss_limit_mb: a leak or a
  # runaway allocation is a failure too.
  if ! build-fuzz/bin/"$t" -max_total_time="$seconds" -timeout=2 -rss_limit_mb=2048 \
      -max_len=8192 -print_final_stats=1 -artifact_prefix="$work/$t-artifacts/" \
      "$corpus" >"$work/$t.log" 2>&1; then
    tail -n 40 "$work/$t.log"
    echo "FAIL $t: inputs in $work/$t-artifacts/"
    failed=$((failed + 1))
  else
    grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$work/$t.log" | tail -n 1 || true
  fi
done
passed=$(( ${#targets[@]} - failed ))
echo "fuzz: ${passed} passed, ${failed} failed"
if ((failed == 0)); then rm -rf "$work"; fi
((failed == 0))
