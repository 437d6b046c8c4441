#!/usr/bin/env bash
# Unpaced load on the queue: COUNT numbered receipts (default 1000) from 4
# clients at once, each sending its next job as soon as the last was
# accepted, first to one network printer on loopback, then to two. Every
# receipt must come out exactly once, each client's in the order it sent
# them, every job completed, and the server alive and serving.
#
# usage: soak_test.sh BIN_DIR [COUNT]
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/app_env.sh" "${1:?bin folder}"
COUNT=${2:-1000}
CLIENTS=4
D=$APP_DIR
BIN=$APP_BIN_DIR

app_start || fail "server"
sink_start a || fail "sink a"
PORT_A=$SINK_PORT
sink_start b || fail "sink b"
PORT_B=$SINK_PORT
app add -d a -m qmx415u -v "socket://127.0.0.1:$PORT_A" >/dev/null || fail "add printer a"
app add -d b -m qmx415u -v "socket://127.0.0.1:$PORT_B" >/dev/null || fail "add printer b"

# Receipts 1..COUNT for the first round, COUNT+1..2*COUNT for the second.
mkdir -p "$D/r"
python3 "$HERE/receipts.py" make "$D/r" 1 $((2 * COUNT)) || fail "receipts"
for f in "$D"/r/receipt-*.pbm; do
  "$BIN/qmx415u-make-raster" --format pwg -o "${f%.pbm}.pwg" "$f" || fail "raster $f"
done

# round NAME FIRST PRINTER... : CLIENTS clients, COUNT receipts from FIRST;
# client c sends receipts FIRST+c, FIRST+c+CLIENTS, ... to the printers in
# turn (client c to printer c mod the number of printers).
round() {
  local name=$1 first=$2
  shift 2
  local printers=("$@") pids=() c
  : >"$D/$name.log"
  local started=$(date +%s.%N)
  for ((c = 0; c < CLIENTS; c++)); do
    local files=() n
    for ((n = first + c; n < first + COUNT; n += CLIENTS)); do files+=("$(printf '%s/r/receipt-%06d.pwg' "$D" "$n")"); done
    local printer=${printers[$((c % ${#printers[@]}))]}
    python3 "$HERE/ipp_client.py" submit "ipp://localhost:$APP_PORT/ipp/print/$printer" "$D/$name.log" "c$c" \
      "${files[@]}" &
    pids+=($!)
  done
  for p in "${pids[@]}"; do wait "$p" || fail "$name: a client's job was refused"; done
  local accepted=$(date +%s.%N)
  [ "$(wc -l <"$D/$name.log")" = "$COUNT" ] || fail "$name: $(wc -l <"$D/$name.log") of $COUNT jobs accepted"
  echo "ok - $name: $COUNT jobs accepted from $CLIENTS clients in $(printf '%.1f' "$(echo "$accepted - $started" | bc)") s"
  ROUND_STARTED=$started
}

# printed_numbers SINK...: the receipt numbers each sink printed, in order,
# one per line; a connection that is not exactly one receipt prints "-".
printed_numbers() {
  local sink
  for sink in "$@"; do
    python3 "$HERE/receipts.py" read "$BIN/qmx415u-decode" $(find "$D/$sink" -maxdepth 1 -name 'conn-*.prn' | sort) |
      awk -v s="$sink" '{ if (NF == 1 && $1 != "-") print s, $1; else print s, "-" }'
  done
}

# check NAME FIRST SINK...: every receipt once, each client's in order.
check() {
  local name=$1 first=$2
  shift 2
  local total=0 sink
  for ((i = 0; i < 600; i++)); do
    total=0
    for sink in "$@"; do total=$((total + $(find "$D/$sink" -maxdepth 1 -name 'conn-*.prn' | wc -l))); done
    [ "$total" -ge "$COUNT" ] && break
    kill -0 "$APP_PID" 2>/dev/null || fail "$name: the server died"
    sleep 0.5
  done
  local printed=$(date +%s.%N)
  [ "$total" -ge "$COUNT" ] || fail "$name: $total of $COUNT receipts printed"
  printed_numbers "$@" >"$D/$name.printed"
  grep -q ' -$' "$D/$name.printed" && fail "$name: a connection was not exactly one whole receipt"
  python3 - "$D/$name.printed" "$first" "$COUNT" "$CLIENTS" <<'EOF' || fail "$name: receipts lost, doubled or out of order"
import sys
lines = [l.split() for l in open(sys.argv[1])]
first, count, clients = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
numbers = [int(n) for _, n in lines]
assert sorted(numbers) == list(range(first, first + count)), "not every receipt exactly once"
for sink in set(s for s, _ in lines):
    for c in range(clients):
        mine = [int(n) for s, n in lines if s == sink and (int(n) - first) % clients == c]
        assert mine == sorted(mine), "client %d's receipts out of order on %s" % (c, sink)
EOF
  local seconds=$(echo "$printed - $ROUND_STARTED" | bc)
  echo "ok - $name: $COUNT receipts printed once each, in order per client ($(printf '%.0f' "$(echo "$COUNT / $seconds" | bc -l)") receipts/s)"
  # Each sink's connections are that round's only.
  for sink in "$@"; do mkdir -p "$D/$sink/$name" && mv "$D/$sink"/conn-* "$D/$sink/$name/" 2>/dev/null; done
}

round one-printer 1 a
check one-printer 1 a
round two-printers $((COUNT + 1)) a b
check two-printers $((COUNT + 1)) a b

# The job history keeps the last 100 jobs of a printer: they all completed.
tail -50 "$D/two-printers.log" | awk '$1 == "c0" || $1 == "c2" { print $1, $3 }' >"$D/last-jobs"
while read -r client id; do
  [ "$(JOB_USER=$client job_state a "$id")" = completed ] || fail "job $id of printer a is $(JOB_USER=$client job_state a "$id")"
done <"$D/last-jobs"
kill -0 "$APP_PID" || fail "the server died"
app status >/dev/null || fail "the server no longer answers"
echo "ok - the server is alive; its peak memory $(awk '/VmHWM/ { print $2, $3 }' "/proc/$APP_PID/status")"
echo "soak_test: all passed"
