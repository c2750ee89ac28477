#!/usr/bin/env bash
# Requests per second of policy_gate against the null helper, the time of one
# rule fetch and peak RSS, with 1,000 devices of 50 rules each in Redis; then
# the same with a website-category rule as each device's matching rule, its
# domain in the category cache.
#   bench/policy_gate_bench.sh [BUILD_DIR] [REQUESTS] [WINDOW]
# WINDOW is the number of requests in flight (Squid's concurrency).
# Must run as root: the benchmark runs inside the test sandbox.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=${1:-build}
requests=${2:-100000}
window=${3:-32}
devices=1000
rules=50

cmake --build "$build" --target policy_gate null_helper policy_gate_bench redis_json
export BENCH_BUILD="$PWD/$build" BENCH_REQUESTS="$requests" BENCH_WINDOW="$window" \
  BENCH_DEVICES="$devices" BENCH_RULES="$rules"
SANDBOX_REDIS_MODULE="$PWD/$build/platform/redis_json/redis_json.so" tests/sandbox/sandbox bash -c '
  set -euo pipefail
  bench="$BENCH_BUILD/bench/policy_gate_bench"
  "$bench" generate /tmp/devices.json "$BENCH_DEVICES" "$BENCH_RULES"
  echo "rule document: $(( $(stat -c %s /tmp/devices.json) / 1024 )) KiB"
  redis-cli -p 6379 -n 11 -x JSON.SET devices . < /tmp/devices.json > /dev/null
  redis-cli -p 6379 -n 1 SET auth_token bench > /dev/null
  echo "{\"cache_chain\": []}" > /etc/squid/zelto/external_acl.json
  echo "{\"log_level\": \"info\"}" > /etc/zelto/log_settings.json
  "$bench" run "$BENCH_BUILD/acl/policy_gate/policy_gate" "$BENCH_BUILD/bench/null_helper" \
    "$BENCH_DEVICES" "$BENCH_REQUESTS" "$BENCH_WINDOW" 0.25

  echo
  echo "website-category rules, domain in the category cache:"
  "$bench" generate /tmp/devices.json "$BENCH_DEVICES" "$BENCH_RULES" category
  redis-cli -p 6379 -n 11 -x JSON.SET devices . < /tmp/devices.json > /dev/null
  redis-cli -p 6378 -n 1 SET match.example.com news,bench > /dev/null
  "$bench" run "$BENCH_BUILD/acl/policy_gate/policy_gate" "$BENCH_BUILD/bench/null_helper" \
    "$BENCH_DEVICES" "$BENCH_REQUESTS" "$BENCH_WINDOW" 0.15
'
