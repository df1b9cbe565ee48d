#!/usr/bin/env bash
# A small run of nchatd-bench against nchatd and the bare relay:
#
#   test_bench.sh BENCH NCHATD FLOOR
#
# Every fan-out and chatter row must show all its clients logged in and all
# its copies (lines times the other clients) arrived, none lost or cut, and the bench's own check of
# nchatd must pass.
set -u

bench=$1 nchatd=$2 floor=$3
out=$(mktemp) || exit 1
trap 'rm -f "$out"' EXIT

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
