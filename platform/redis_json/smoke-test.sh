#!/usr/bin/env bash
# Smoke check of the redis_json module against a throwaway redis-server.
# Usage: smoke-test.sh PATH/TO/redis_json.so
set -euo pipefail

if [ $# -ne 1 ] || [ ! -f "$1" ]; then
  echo "usage: $0 PATH/TO/redis_json.so" >&2
  exit 2
fi
module=$(realpath "$1")
workdir=$(mktemp -d)
server_pid=""
port=""
failures=0

cleanup() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$workdir"
}
trap cleanup EXIT

# A random port can be taken; retry on a bind failure only.
start_server() {
  for _ in $(seq 1 20); do
    port=$((16379 + RANDOM % 20000))
    : >"$workdir/redis.log"
    redis-server --port "$port" --bind 127.0.0.1 --save '' --appendonly no \
      --aof-use-rdb-preamble no --enable-debug-command local \
      --dir "$workdir" --logfile "$workdir/redis.log" \
      --loadmodule "$module" &
    server_pid=$!
    for _ in $(seq 1 50); do
      if redis-cli -h 127.0.0.1 -p "$port" PING 2>/dev/null | grep -q PONG; then
        return 0
      fi
      if ! kill -0 "$server_pid" 2>/dev/null; then break; fi
      sleep 0.1
    done
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
    if ! grep -q 'Address already in use' "$workdir/redis.log"; then
      echo "redis-server did not start; its log:" >&2
      cat "$workdir/redis.log" >&2
      exit 1
    fi
  done
  echo "no free port found" >&2
  exit 1
}

rc() { redis-cli -h 127.0.0.1 -p "$port" "$@" 2>&1 || true; }

check() {  # name expected actual
  if [ "$2" == "$3" ]; then
    echo "ok   $1"
  else
    echo "FAIL $1"
    echo "     expected: ${2:0:200}"
    echo "     actual:   ${3:0:200}"
    failures=$((failures + 1))
  fi
}

check_prefix() {  # name prefix actual
  if [[ "$3" == "$2"* ]]; then
    echo "ok   $1"
  else
    echo "FAIL $1"
    echo "     expected prefix: $2"
    echo "     actual:          ${3:0:200}"
    failures=$((failures + 1))
  fi
}

wait_for_rewrite() {
  local info
  for _ in $(seq 1 100); do
    info=$(rc INFO persistence)
    if grep -q '^aof_rewrite_in_progress:0' <<<"$info" &&
       grep -q '^aof_rewrite_scheduled:0' <<<"$info" &&
       grep -q '^aof_enabled:1' <<<"$info"; then
      return 0
    fi
    sleep 0.1
  done
  echo "AOF rewrite did not finish" >&2
  return 1
}

start_server
echo "redis-server on port $port"

# Round trip; the reply is compact and keeps UTF-8 text as is.
check "set object" "OK" \
  "$(rc JSON.SET doc . '{ "a" : 1, "b": [true, null, "x y"], "c": {"d": "é"} }')"
compact='{"a":1,"b":[true,null,"x y"],"c":{"d":"é"}}'
check "get object" "$compact" "$(rc JSON.GET doc)"
check "get with path ." "$compact" "$(rc JSON.GET doc .)"
check "get with path \$" "$compact" "$(rc JSON.GET doc '$')"

check "replace document" "OK" "$(rc JSON.SET doc '$' '[1, 2]')"
check "get replaced" "[1,2]" "$(rc JSON.GET doc)"

check "absent key is nil" "(nil)" "$(rc --no-raw JSON.GET missing)"

check_prefix "truncated JSON rejected" "ERR" "$(rc JSON.SET bad . '{"a":')"
check_prefix "trailing garbage rejected" "ERR" "$(rc JSON.SET bad . '{"a":1} x')"
check_prefix "bare word rejected" "ERR" "$(rc JSON.SET doc . 'nope')"
check "rejected set creates no key" "0" "$(rc EXISTS bad)"
check "rejected set keeps old value" "[1,2]" "$(rc JSON.GET doc)"

rc SET plain hello >/dev/null
wrongtype="WRONGTYPE Operation against a key holding the wrong kind of value"
check "get on string key" "$wrongtype" "$(rc JSON.GET plain)"
check "set on string key" "$wrongtype" "$(rc JSON.SET plain . '{}')"
check "string key untouched" "hello" "$(rc GET plain)"
check_prefix "plain GET on JSON key" "WRONGTYPE" "$(rc GET doc)"

rootonly="ERR only the root path is supported"
check "set with sub-path" "$rootonly" "$(rc JSON.SET doc .a 1)"
check "get with sub-path" "$rootonly" "$(rc JSON.GET doc '$.a')"
check_prefix "set arity" "ERR wrong number of arguments" "$(rc JSON.SET doc .)"
check_prefix "get arity" "ERR wrong number of arguments" "$(rc JSON.GET)"

# Too large for one command-line argument: sent on stdin with -x.
awk 'BEGIN {
  printf "{\"items\":[";
  for (i = 0; i < 2500; i++) {
    if (i) printf ",";
    printf "{\"id\":%d,\"name\":\"item-%06d\",\"tags\":[\"alpha\",\"beta\"],", i, i;
    printf "\"note\":\"lorem ipsum dolor sit amet\"}";
  }
  printf "]}";
}' >"$workdir/big.json"
big_size=$(stat -c %s "$workdir/big.json")
[ "$big_size" -ge 200000 ] || { echo "generated document too small" >&2; exit 1; }
big=$(cat "$workdir/big.json")
check "set large document ($big_size bytes)" "OK" \
  "$(rc -x JSON.SET big . <"$workdir/big.json")"
check "get large document" "$big" "$(rc JSON.GET big)"
usage=$(rc MEMORY USAGE big)
if [ "$usage" -ge "$big_size" ] 2>/dev/null; then
  echo "ok   memory usage counts the document ($usage bytes)"
else
  echo "FAIL memory usage counts the document: $usage"
  failures=$((failures + 1))
fi

# Deeper than Boost.JSON's default limit of 32.
deep="$(printf '[%.0s' $(seq 64))$(printf ']%.0s' $(seq 64))"
check "set nested 64 deep" "OK" "$(rc JSON.SET deep . "$deep")"
check "get nested 64 deep" "$deep" "$(rc JSON.GET deep)"

# RDB: save and load the dataset again.
check "debug reload" "OK" "$(rc DEBUG RELOAD)"
check "object after rdb reload" "[1,2]" "$(rc JSON.GET doc)"
check "large after rdb reload" "$big" "$(rc JSON.GET big)"

# AOF: enabling it rewrites the dataset as commands; later writes are
# appended. Reload from those files only.
check "enable aof" "OK" "$(rc CONFIG SET appendonly yes)"
wait_for_rewrite
base_sets=$(cat "$workdir"/appendonlydir/*.base.aof | grep -c '^JSON.SET' || true)
check "aof rewrite emitted JSON.SET per document" "3" "$base_sets"
check "set after rewrite" "OK" "$(rc JSON.SET later . '{"n": 2}')"
check "debug loadaof" "OK" "$(rc DEBUG LOADAOF)"
check "object after aof reload" "[1,2]" "$(rc JSON.GET doc)"
check "large after aof reload" "$big" "$(rc JSON.GET big)"
check "appended write after aof reload" '{"n":2}' "$(rc JSON.GET later)"
check "string after aof reload" "hello" "$(rc GET plain)"

rc SHUTDOWN NOSAVE >/dev/null
status=0
wait "$server_pid" || status=$?
server_pid=""
check "server exited cleanly" "0" "$status"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; server log:"
  tail -n 30 "$workdir/redis.log"
  exit 1
fi
echo "all checks passed"
