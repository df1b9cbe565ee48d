#!/usr/bin/env bash
# A small run of nchatd-bench against nchatd and the bare relay:
#
#   test_bench.sh BENCH NCHATD FLOOR RECONNECT_PY
#
# Every fan-out and chatter row must show all its clients logged in and all
# its copies (lines times the other clients) arrived, none lost or cut, and the bench's own check of
# nchatd must pass.  Then a small burst, flood and memory-return run against
# nchatd with its defences on: every client greeted, the flooder held back
# while no chatter copy is lost and no slow reader dropped, every quiet
# client's full queue dropped.  Their CPU and latency targets are left to
# `make bench`: a busy test machine would miss them.  Last, the reconnect
# bench given a server that never listens must give up and stop it.
set -u

bench=$1 nchatd=$2 floor=$3 reconnect=$4
out=$(mktemp) || exit 1
stand_in=$(mktemp) || exit 1
trap 'rm -f "$out" "$stand_in" "$stand_in.pid"' EXIT

"$bench" --server "$nchatd" --floor "$floor" --servers nchatd,floor \
  --scenarios fanout,chatter --fanout-sizes 8 --fanout-lines 20 --rounds 2 \
  --chatter-clients 8 --chatter-senders 2 --chatter-lines 5 --budget 60 \
  --strict >"$out"
status=$?
cat "$out"
[ "$status" -eq 0 ] || { echo "FAIL: nchatd-bench exited with $status"; exit 1; }

# server scenario N=n clients lines copies copies/s time p50 p99 p99read lost cut ...
awk '
  ($2 == "fan-out" || $2 == "chatter") && $3 ~ /^N=/ {
    rows++
    n = substr($3, 3)
    want = $5 * (n - 1)
    if ($4 != n || $5 == 0 || $6 != want || $12 != 0 || $13 != 0) {
      printf "FAIL: %s %s %s: clients %s, lines %s, copies %s of %d, lost %s, cut %s\n", $1, $2, $3, $4, $5, $6, want, $12, $13
      bad++
    }
  }
  END {
    if (rows != 4) { printf "FAIL: %d result rows, want 4\n", rows; bad++ }
    exit bad > 0
  }' "$out" || exit 1
echo "ok: 4 rows, every copy intact"

"$bench" --server "$nchatd" --floor "$floor" --servers nchatd --scenarios burst,flood,reclaim \
  --burst-clients 200 --flood-seconds 2 --reclaim-clients 20 --budget 60 >"$out"
status=$?
cat "$out"
[ "$status" -eq 0 ] || { echo "FAIL: nchatd-bench exited with $status"; exit 1; }

# burst:   server burst N=n greeted/n stuck unconn refused ...
# flood:   server flood N=n secs sent/s relayed/s cpu cpu p50 p99 p50 p99 copies lost cut readers-gone ...
# reclaim: server reclaim N=n lines dropped before peak after ratio ...
awk '
  $1 != "nchatd" || $3 !~ /^N=/ { next }
  $2 == "burst" {
    rows++
    n = substr($3, 3)
    if ($4 != n "/" n || $5 != 0 || $6 != 0 || $7 != 0) {
      printf "FAIL: burst: greeted %s, stuck %s, not connected %s, refused %s\n", $4, $5, $6, $7
      bad++
    }
  }
  $2 == "flood" {
    rows++
    if ($6 == "-" || $6 + 0 >= 100 || $5 + 0 <= 10 * $6 || $13 == 0 || $14 != 0 || $15 != 0 || $16 != "-") {
      printf "FAIL: flood: flooder sent %s lines/s, %s relayed; chatter copies %s, lost %s, cut %s; readers dropped %s\n", $5, $6, $13, $14, $15, $16
      bad++
    }
  }
  $2 == "reclaim" {
    rows++
    n = substr($3, 3)
    if ($5 != n || $9 == "-" || $9 + 0 > 2) {
      printf "FAIL: reclaim: %s of %s full queues dropped, memory after/before %s\n", $5, n, $9
      bad++
    }
  }
  END {
    if (rows != 3) { printf "FAIL: %d burst, flood and reclaim rows, want 3\n", rows; bad++ }
    exit bad > 0
  }' "$out" || exit 1
echo "ok: burst greeted, flooder held back, full queues dropped and memory returned"

command -v python3 >/dev/null || { echo "skip: the reconnect bench needs python3"; exit 0; }
printf '#!/bin/sh\necho $$ >"%s.pid"\nexec sleep 60\n' "$stand_in" >"$stand_in"
chmod +x "$stand_in"
if python3 "$reconnect" "$stand_in" >"$out" 2>&1; then
  cat "$out"; echo "FAIL: the reconnect bench ran against a server that never listened"; exit 1
fi
pid=$(cat "$stand_in.pid" 2>/dev/null)
if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
  kill "$pid"; echo "FAIL: the reconnect bench left its server running after giving up"; exit 1
fi
echo "ok: the reconnect bench stops the server it started when it gives up"
