#!/usr/bin/env bash
# Median time of one remote_store request against the local test cloud server
# over HTTPS and HTTP (handshake included), beside curl fetching the same URL.
#   bench/remote_store_bench.sh [BUILD_DIR] [ROUNDS]
# Must run as root: the benchmark runs inside the test sandbox.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=${1:-build}
rounds=${2:-200}

if ! command -v curl >/dev/null 2>&1; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends curl
fi
cmake --build "$build" --target remote_store_bench redis_json
SANDBOX_REDIS_MODULE="$PWD/$build/platform/redis_json/redis_json.so" \
  tests/sandbox/sandbox "$build/bench/remote_store_bench" "$rounds"
