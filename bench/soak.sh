#!/usr/bin/env bash
# Soak run: exempt_gate and policy_gate each over REQUESTS requests (a
# million unless given) while their sets, rules and categories change and
# signals arrive. Prints the helpers' resident memory as the runs go and
# fails when an answer is wrong or memory keeps growing.
#   bench/soak.sh [BUILD_DIR] [REQUESTS] [exempt|policy|both]
# Must run as root: the runs take place inside the test sandbox.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=${1:-build}
requests=${2:-1000000}
which=${3:-both}

cmake --build "$build" --target soak exempt_gate policy_gate redis_json
export SOAK_BUILD="$PWD/$build" SOAK_REQUESTS="$requests" SOAK_WHICH="$which"
SANDBOX_REDIS_MODULE="$PWD/$build/platform/redis_json/redis_json.so" tests/sandbox/sandbox bash -c '
  set -euo pipefail
  status=0
  if [ "$SOAK_WHICH" != policy ]; then
    echo "== exempt_gate"
    "$SOAK_BUILD/bench/soak" exempt "$SOAK_BUILD/acl/exempt_gate/exempt_gate" "$SOAK_REQUESTS" || status=1
  fi
  if [ "$SOAK_WHICH" != exempt ]; then
    echo "== policy_gate"
    "$SOAK_BUILD/bench/soak" policy "$SOAK_BUILD/acl/policy_gate/policy_gate" "$SOAK_REQUESTS" || status=1
  fi
  exit $status
'
