#!/usr/bin/env bash
# A bounded load on loopback: 8 clients submit 25 jobs each at once over
# two printers, each printer with its own folder device (one file per
# job). Every job completes, none is lost, none interleaves with another
# (each client prints its own page, and every output is byte for byte the
# stream of one of the 8 pages), the two printers' jobs met at the
# process's job gate, and the server's memory stays bounded.
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
  mkdir "$D/out$p"
  app add -d "p$p" -m qmx415u -v "prnfile://$D/out$p/" >/dev/null || fail "add printer p$p"
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

# Every output is one whole page's stream; each client's page came out as often as it was sent.
declare -A seen
files=0
for f in "$D"/out1/*.prn "$D"/out2/*.prn; do
  files=$((files + 1))
  match=""
  for c in $(seq "$CLIENTS"); do
    if cmp -s "$f" "$D/ref$c.prn"; then match=$c; break; fi
  done
  if [ -z "$match" ]; then
    "$BIN/qmx415u-decode" "$f" >&2
    fail "$f is no page's whole stream"
  fi
  seen[$match]=$(( ${seen[$match]:-0} + 1 ))
done
[ $files = "$want" ] || fail "$files outputs for $want jobs"
for c in $(seq "$CLIENTS"); do
  expected=$PER_CLIENT
  [ "$c" = 1 ] && expected=$((PER_CLIENT + 2))
  [ "${seen[$c]:-0}" = "$expected" ] || fail "page $c came out ${seen[$c]:-0} times, sent $expected"
done
waits=$(grep -c 'Waited for another job to end' "$D/log")
[ "$waits" -gt 0 ] || fail "no job ever waited at the job gate: the printers never printed at once"

growth=$((RSS_AFTER - RSS_BEFORE))
[ $growth -le $RSS_GROWTH_LIMIT_KB ] || fail "RSS grew by $growth KB (from $RSS_BEFORE KB)"
seconds=$(echo "$end - $start" | bc -l 2>/dev/null || echo "?")
echo "ok - $TOTAL jobs from $CLIENTS clients over 2 printers: all whole, none lost, $waits waited at the job gate"
echo "ok - RSS $RSS_BEFORE KB before, $RSS_AFTER KB after (limit +$RSS_GROWTH_LIMIT_KB KB); ${seconds}s"
echo "load_test: all passed"
