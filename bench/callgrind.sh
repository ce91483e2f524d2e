#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Instructions per received and per sent message, counted by callgrind:
# each mode runs twice with different message counts and the difference of
# the two whole-program totals is divided by the difference of the counts,
# so start-up and shutdown cancel out.
#
#   bench/callgrind.sh BUILD_DIR [RX_LOW RX_HIGH TX_LOW TX_HIGH]
#
# With CALLGRIND_KEEP=DIR the four profiles stay in DIR as MODE-COUNT.out,
# for callgrind_annotate (the difference of a function's cost between the
# two runs of a mode, divided by the difference of the counts, is its cost
# per message).
set -euo pipefail
bench=${1:?build directory}/bench/v2x-bench
rx_lo=${2:-200}; rx_hi=${3:-1200}; tx_lo=${4:-10}; tx_hi=${5:-60}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

total() {  # mode count -> instructions of the whole run
  valgrind --tool=callgrind --callgrind-out-file="$tmp/out" "$bench" "$1" "$2" >/dev/null 2>"$tmp/err" || {
    cat "$tmp/err"; exit 1; }
  sed -n 's/^summary: *//p;s/^totals: *//p' "$tmp/out" | head -1 | awk '{print $1}'
  if [ -n "${CALLGRIND_KEEP:-}" ]; then
    mkdir -p "$CALLGRIND_KEEP"
    cp "$tmp/out" "$CALLGRIND_KEEP/$1-$2.out"
  fi
}

per() {  # mode low high label
  local a b
  a=$(total "$1" "$2")
  b=$(total "$1" "$3")
  echo "$4: $(( (b - a) / ($3 - $2) )) instructions per message ($1 $2: $a, $1 $3: $b)"
}

per count-rx "$rx_lo" "$rx_hi" "receive"
per count-rx-rec "$rx_lo" "$rx_hi" "receive, module's records, not asked for"
per count-rx-info "$rx_lo" "$rx_hi" "receive, module's records, asked for"
per count-tx "$tx_lo" "$tx_hi" "send"
