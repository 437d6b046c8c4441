#!/usr/bin/env bash
# A bounded load on loopback: 8 clients submit 25 jobs each at once over
# two printers, each a network printer of its own (socket://). Every job
# completes, none is lost, none interleaves with another (each client
# prints its own page, and what each printer read is, byte for byte, a
# run of whole streams of the 8 pages), the two printers' jobs ran at the
# same time (two workers seen alive at once), and the server's memory
# stays bounded.
#
# usage: load_test.sh BIN_DIR [CLIENTS JOBS_PER_CLIENT]
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/app_env.sh" "${1:?bin folder}"
BIN=$APP_BIN_DIR
D=$APP_DIR
CLIENTS=${2:-8}
PER_CLIENT=${3:-25}
TOTAL=$((CLIENTS * PER_CLIENT))
RSS_GROWTH_LIMIT_KB=$((48 * 1024))

app_start || fail "server"
for p in 1 2; do
  sink_start "out$p" || fail "sink $p"
  app add -d "p$p" -m qmx415u -v "socket://127.0.0.1:$SINK_PORT" >/dev/null || fail "add printer p$p"
done

# Client c prints page c: the receipt with c black bars under it.
"$BIN/qmx415u-sample" receipt "$D/receipt.pbm"
python3 - "$D" "$CLIENTS" <<'EOF'
import sys
d, clients = sys.argv[1], int(sys.argv[2])
data = open(d + "/receipt.pbm", "rb").read()
magic, dims, body = data.split(b"\n", 2)
width, height = map(int, dims.split())
for c in range(1, clients + 1):
    bars = bytearray()
    for k in range(c):
        bars += b"\xff" * 72 * 8 + b"\x00" * 72 * 8
    with open("%s/page%d.pbm" % (d, c), "wb") as f:
        f.write(b"P4\n576 %d\n" % (height + len(bars) // 72))
        f.write(body + bytes(bars))
EOF
for c in $(seq "$CLIENTS"); do
  "$BIN/qmx415u-make-raster" --format pwg --grey --width 639 --left 32 -o "$D/page$c.pwg" "$D/page$c.pbm"
  "$BIN/qmx415u-print" --quiet -o "$D/ref$c.prn" "$D/page$c.pbm"
done

# A busy printer answers server-error-busy (PAPPL streams raster jobs one
# at a time per printer); a client tries again, as IPP clients do.
cat >"$D/print.test" <<'EOF2'
{
	OPERATION Print-Job
	GROUP operation-attributes-tag
	ATTR charset attributes-charset utf-8
	ATTR naturalLanguage attributes-natural-language en
	ATTR uri printer-uri $uri
	ATTR name requesting-user-name $user
	ATTR mimeMediaType document-format image/pwg-raster
	FILE $filename
	STATUS successful-ok
	STATUS server-error-busy REPEAT-MATCH
}
EOF2

rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$APP_PID/status"; }

# One job each to warm up, so that later growth is the load's own.
for p in 1 2; do
  ipptool -f "$D/page1.pwg" "ipp://localhost:$APP_PORT/ipp/print/p$p" "$D/print.test" >/dev/null ||
    fail "warm-up job"
done
RSS_BEFORE=$(rss_kb)

client() {  # C: PER_CLIENT jobs, alternating printers
  local c=$1 k
  for k in $(seq "$PER_CLIENT"); do
    ipptool -f "$D/page$c.pwg" "ipp://localhost:$APP_PORT/ipp/print/p$(( (c + k) % 2 + 1 ))" \
      "$D/print.test" >>"$D/client$c.log" 2>&1 || echo "job $k failed" >>"$D/client$c.fail"
  done
}
# Workers alive at once, sampled while the clients run.
(
  most=0
  while :; do
    n=$(pgrep -c -P "$APP_PID")
    [ "$n" -gt "$most" ] && most=$n && echo "$most" >"$D/most-workers"
    sleep 0.01
  done
) &
sampler=$!
app_on_exit "kill $sampler 2>/dev/null"
start=$(date +%s.%N)
pids=()
for c in $(seq "$CLIENTS"); do
  client "$c" &
  pids+=($!)
done
app_on_exit 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done'
for p in "${pids[@]}"; do wait "$p"; done
ls "$D"/client*.fail >/dev/null 2>&1 && fail "submissions failed: $(cat "$D"/client*.fail | head -5)"

want=$((TOTAL + 2))
for _ in $(seq 600); do
  done_jobs=$(grep -cE '\[Job [0-9]+\] Completed' "$D/log")
  [ "$done_jobs" -ge "$want" ] && break
  sleep 0.1
done
end=$(date +%s.%N)
[ "$done_jobs" -ge "$want" ] || fail "only $done_jobs of $want jobs completed"
grep -qE '\[Job [0-9]+\] (Aborted|Canceled)' "$D/log" && fail "a job was aborted or canceled"
RSS_AFTER=$(rss_kb)

kill $sampler 2>/dev/null
for _ in $(seq 100); do  # the printers' last connections end
  [ -z "$(find "$D/out1" "$D/out2" -name '*.part')" ] && break
  sleep 0.05
done

# What each printer read is whole page streams, one after another (a
# connection holds the jobs PAPPL had queued); each client's page came out
# as often as it was sent.
python3 - "$D" "$CLIENTS" "$PER_CLIENT" <<'EOF' || fail "the printers' streams are not whole jobs"
import glob, sys
d, clients, per_client = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
refs = {c: open("%s/ref%d.prn" % (d, c), "rb").read() for c in range(1, clients + 1)}
seen = {c: 0 for c in refs}
for name in sorted(glob.glob(d + "/out[12]/conn-*.prn")):
    data, at = open(name, "rb").read(), 0
    while at < len(data):
        match = [c for c, r in refs.items() if data.startswith(r, at)]
        if len(match) != 1:
            sys.exit("%s: no whole page stream at byte %d" % (name, at))
        seen[match[0]] += 1
        at += len(refs[match[0]])
for c, n in seen.items():
    want = per_client + (2 if c == 1 else 0)
    if n != want:
        sys.exit("page %d came out %d times, sent %d" % (c, n, want))
EOF
most=$(cat "$D/most-workers" 2>/dev/null || echo 0)
[ "$most" -ge 2 ] || fail "never two workers at once: the printers did not print in parallel"

growth=$((RSS_AFTER - RSS_BEFORE))
[ $growth -le $RSS_GROWTH_LIMIT_KB ] || fail "RSS grew by $growth KB (from $RSS_BEFORE KB)"
seconds=$(echo "$end - $start" | bc -l 2>/dev/null || echo "?")
echo "ok - $TOTAL jobs from $CLIENTS clients over 2 printers: all whole, none lost; up to $most workers at once"
echo "ok - RSS $RSS_BEFORE KB before, $RSS_AFTER KB after (limit +$RSS_GROWTH_LIMIT_KB KB); ${seconds}s"
echo "load_test: all passed"
