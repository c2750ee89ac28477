#!/usr/bin/env bash
# Requests per second of exempt_gate against kernel sets of 10, 1,000, 10,000
# and 65,000 CIDR members, beside the null helper on the same requests, and
# exempt_gate's peak RSS.
#   bench/exempt_gate_bench.sh [BUILD_DIR] [REQUESTS] [RUNS]
# Half of the requests fall into a member. Each figure is the median of RUNS
# runs. With BASELINE=OTHER_BUILD_DIR (an exempt_gate built from another
# revision), that program is measured too, run for run beside this one. Must run as root: the benchmark runs inside the test sandbox, with
# its own kernel sets.
set -euo pipefail

if [ "${1:-}" != --inside ]; then
  cd "$(dirname "${BASH_SOURCE[0]}")/.."
  build=${1:-build}
  cmake --build "$build" --target exempt_gate null_helper exempt_bench_driver
  exec tests/sandbox/sandbox --no-redis bash "$PWD/bench/exempt_gate_bench.sh" --inside \
    "$(realpath "$build")" "${2:-200000}" "${3:-3}" "${BASELINE:+$(realpath "$BASELINE")}"
fi

build=$2
requests=$3
runs=$4
baseline=${5:-}
driver=$build/bench/exempt_bench_driver

# Members: distinct networks of /16 to /30 anywhere; requests: "<n> <address>".
generate() {
  awk -v members="$1" -v requests="$requests" -v restore=/tmp/restore -v lines=/tmp/requests '
    function dotted(x) { return int(x / 16777216) "." int(x / 65536) % 256 "." int(x / 256) % 256 "." x % 256 }
    BEGIN {
      srand(members)
      print "create noinspection hash:net family inet maxelem 131072" > restore
      while (n < members) {
        len = 16 + int(rand() * 15)
        block = 2 ^ (32 - len)
        net = int(int(rand() * 4294967296) / block) * block
        if ((net "/" len) in seen)
          continue
        seen[net "/" len] = 1
        nets[n] = net; lens[n] = len; n++
        print "add noinspection " dotted(net) "/" len > restore
      }
      for (i = 0; i <= requests; i++) {
        if (rand() < 0.5) {
          j = int(rand() * members)
          address = nets[j] + int(rand() * 2 ^ (32 - lens[j]))
        } else {
          address = int(rand() * 4294967296)
        }
        print i + 1, dotted(address) > lines
      }
    }'
}

# Runs the helpers one after the other, RUNS rounds, so that all of them see
# the same machine; then prints per helper, in the order given, the median of
# its figures: "rps peak_rss_kib answers".
measure() {
  for round in $(seq "$runs"); do
    for i in $(seq "$#"); do
      printf '%s ' "$i"
      "$driver" /tmp/requests "${!i}" | sed -E 's/.*rps=([0-9]+) peak_rss_kib=([0-9-]+) ok=([0-9]+) err=([0-9]+) bh=([0-9]+)/\1 \2 ok=\3,err=\4,bh=\5/'
    done
  done | sort -k1,1n -k2,2n | awk -v runs="$runs" '(NR - 1) % runs == int((runs - 1) / 2) { $1 = ""; print substr($0, 2) }'
}

ip link set lo up
printf '%-8s %12s %12s %7s %10s  %s' members null_rps exempt_rps ratio peak_MiB exempt_answers
[ -n "$baseline" ] && printf '  %12s %9s' baseline_rps vs_base
echo
declare -A exempt_rps
for size in 10 1000 10000 65000; do
  generate "$size"
  ipset destroy noinspection 2>/dev/null || true
  ipset restore -f /tmp/restore
  listed=$(ipset list -t noinspection | awk -F': ' '/^Number of entries/ { print $2 }')
  programs=("$build/bench/null_helper" "$build/acl/exempt_gate/exempt_gate")
  [ -n "$baseline" ] && programs+=("$baseline/acl/exempt_gate/exempt_gate")
  mapfile -t figures < <(measure "${programs[@]}")
  read -r null_rps _ _ <<<"${figures[0]}"
  read -r rps rss answers <<<"${figures[1]}"
  exempt_rps[$size]=$rps
  printf '%-8s %12s %12s %7.2f %10.1f  %s' "$listed" "$null_rps" "$rps" \
    "$(echo "$rps / $null_rps" | bc -l)" "$(echo "$rss / 1024" | bc -l)" "$answers"
  if [ -n "$baseline" ]; then
    read -r base_rps _ base_answers <<<"${figures[2]}"
    printf '  %12s %9.2f' "$base_rps" "$(echo "$rps / $base_rps" | bc -l)"
    [ "$base_answers" = "$answers" ] || printf ' (baseline answers differ: %s)' "$base_answers"
  fi
  echo
done
printf 'rps at 10 members / rps at 65,000 members: %.2f\n' \
  "$(echo "${exempt_rps[10]} / ${exempt_rps[65000]}" | bc -l)"
