#!/usr/bin/env bash
# The queue a shop relies on, through the real server and network printers
# on loopback (app/tests/tcp_sink.py):
#   - a printer that reads nothing: its jobs stay processing and pending,
#     none completed, its state says why; made healthy, all print once;
#   - a printer that goes away mid-job and comes back: the queue waits,
#     the interrupted job prints again from its start, then the others;
#   - shutdown, and SIGKILL 0.5 s after the last job was accepted, with 10
#     receipts queued: after a restart all 10 print once, in order, and new
#     job ids continue after theirs; the stop takes under 5 s;
#   - an upload that stops halfway: nothing of it prints, and the printer
#     prints other jobs meanwhile.
#
# usage: queue_test.sh BIN_DIR
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/app_env.sh" "${1:?bin folder}"
D=$APP_DIR
BIN=$APP_BIN_DIR
export JOB_USER=shop  # who sends the jobs, and asks about them

# ---- Documents --------------------------------------------------------------
mkdir -p "$D/r"
# Each receipt larger than what the kernel's buffers hold for a printer
# that reads nothing (its TCP stack acknowledges what they hold).
python3 "$HERE/receipts.py" make "$D/r" 1 60 400 || fail "receipts"
for f in "$D"/r/receipt-*.pbm; do "$BIN/qmx415u-make-raster" --format pwg -o "${f%.pbm}.pwg" "$f" || fail "raster"; done
receipt() { printf '%s/r/receipt-%06d.pwg' "$D" "$1"; }
# A long job: 20 pages of noise, about 12 MB of printer bytes.
python3 -c 'import os, sys; open(sys.argv[1], "wb").write(b"P4\n576 8000\n" + os.urandom(72) * 8000)' "$D/noise.pbm"
"$BIN/qmx415u-make-raster" --format pwg --repeat 20 -o "$D/long.pwg" "$D/noise.pbm" || fail "long raster"
noise_pages=()
for _ in $(seq 20); do noise_pages+=("$D/noise.pbm"); done
"$BIN/qmx415u-print" --quiet -o "$D/long.prn" "${noise_pages[@]}" || fail "long reference"

# ---- Helpers ----------------------------------------------------------------
submit() {  # PRINTER FILE...: sends each file; the job ids in $D/ids
  python3 "$HERE/ipp_client.py" submit "ipp://localhost:$APP_PORT/ipp/print/$1" "$D/ids" shop "${@:2}" ||
    fail "a job was refused"
}
last_id() { tail -1 "$D/ids" | awk '{ print $3 }'; }

# numbers SINK: the receipt numbers the sink printed, in order, "L" for
# the long job; "-" for a connection that is neither.
numbers() {
  local conn
  for conn in $(find "$D/$1" -maxdepth 1 -name 'conn-*.prn' | sort); do
    if cmp -s "$conn" "$D/long.prn"; then echo L; else python3 "$HERE/receipts.py" read "$BIN/qmx415u-decode" "$conn"; fi
  done | tr '\n' ' ' | sed 's/ $//'
}

wait_printed() {  # SINK COUNT
  sink_wait "$1" "$2" || fail "$1 printed $(find "$D/$1" -maxdepth 1 -name 'conn-*.prn' | wc -l) of $2 jobs"
}

printer_reasons() {  # PRINTER
  ipptool -tv "ipp://localhost:$APP_PORT/ipp/print/$1" /usr/share/cups/ipptool/get-printer-attributes.test 2>/dev/null |
    sed -n 's/.*printer-state-reasons (.*) = //p'
}

completed_count() { grep -c '\] Completed' "$D/log"; }

app_start -o upload-timeout=2 || fail "server"

# ---- A printer that reads nothing, then is made healthy ---------------------
sink_start stalled --stall || fail "stalled sink"
STALLED_PID=$SINK_PID
PORT=$SINK_PORT
app add -d shop -m qmx415u -v "socket://127.0.0.1:$PORT" >/dev/null || fail "add printer"
submit shop $(receipt 1) $(receipt 2) $(receipt 3) $(receipt 4) $(receipt 5)
sleep 3
[ "$(completed_count)" = 0 ] || fail "a job completed on a printer that reads nothing"
[ "$(job_state shop 1)" = processing ] || fail "job 1 is $(job_state shop 1), not processing"
[ "$(job_state shop 5)" = pending ] || fail "job 5 is $(job_state shop 5), not pending"
printer_reasons shop | grep -q other || fail "the printer's state does not say it takes nothing: $(printer_reasons shop)"
[ "$(job_impressions shop 1)" = 0 ] || fail "job 1 counts $(job_impressions shop 1) pages printed; the printer took none"
echo "ok - a printer that reads nothing: job 1 processing, the rest pending, none completed, state reason other"
# Meanwhile an administrator (through the local socket) cancels job 4 and
# moves job 5 to a spare printer.
sink_start spare || fail "spare sink"
app add -d spare -m qmx415u -v "socket://127.0.0.1:$SINK_PORT" >/dev/null || fail "add the spare printer"
cat >"$D/move.test" <<'END'
{
	OPERATION CUPS-Move-Job
	GROUP operation-attributes-tag
	ATTR charset attributes-charset utf-8
	ATTR naturalLanguage attributes-natural-language en
	ATTR uri printer-uri $uri
	ATTR integer job-id 5
	ATTR name requesting-user-name $user
	ATTR uri job-printer-uri ipp://localhost/ipp/print/spare
	STATUS successful-ok
	EXPECT job-id
}
END
admin_uri="ipp://$(app_socket | sed 's|/|%2F|g')/ipp/print/shop"
ipptool -t "$admin_uri" "$D/move.test" >"$D/move.out" 2>&1 || fail "CUPS-Move-Job: $(cat "$D/move.out")"
app cancel -d shop -j 4 >/dev/null 2>&1 || fail "cancel job 4"
[ "$(job_state shop 4)" = canceled ] || fail "job 4 is $(job_state shop 4) after its cancel"
echo "ok - an administrator cancels a waiting job, and moves another to a spare printer"
sink_stop "$STALLED_PID"
sink_start healthy --port "$PORT" || fail "healthy sink"
wait_printed healthy 3
[ "$(job_impressions shop 1)" = 1 ] || fail "job 1 counts $(job_impressions shop 1) pages printed, not 1"
wait_printed spare 1
[ "$(numbers healthy)" = "1 2 3" ] || fail "made healthy, it printed $(numbers healthy)"
[ "$(numbers spare)" = 5 ] || fail "the spare printer printed $(numbers spare)"
echo "ok - made healthy, the printer prints the rest once, in order; the moved job printed on the spare"
mv "$D/healthy" "$D/healthy.1"
sink_stop "$SINK_PID"

# ---- A printer that goes away mid-job and comes back -------------------------
sink_start slow --port "$PORT" --rate 400000 || fail "slow sink"
SLOW_PID=$SINK_PID
submit shop "$D/long.pwg" $(receipt 6) $(receipt 7) $(receipt 8)
LONG_ID=$(head -6 "$D/ids" | tail -1 | awk '{ print $3 }')
sleep 1.5
sink_stop "$SLOW_PID"  # mid-job: the long job is far from done
sleep 2
printer_reasons shop | grep -q offline || fail "a printer that went away is not shown offline: $(printer_reasons shop)"
[ "$(job_state shop "$LONG_ID")" = processing ] || fail "the interrupted job is $(job_state shop "$LONG_ID")"
echo "ok - the printer went away mid-job: the queue waits, the printer shows offline"
sink_start back --port "$PORT" || fail "sink back"
wait_printed back 4
[ "$(numbers back)" = "L 6 7 8" ] || fail "back, it printed $(numbers back)"
grep -q "\[Job $LONG_ID\] The printer went away during the job" "$D/log" || fail "the job's log does not say it printed again"
echo "ok - back, the interrupted job prints again from its start, whole, then the rest once each"
sink_stop "$SINK_PID"

# ---- shutdown, and SIGKILL, with 10 queued ----------------------------------
# stop_with HOW: 10 receipts queued behind a printer that reads nothing,
# the server stopped HOW; restarted with the printer healthy, all 10 print
# once, in order, and the next job's id follows theirs.
stop_with() {
  local how=$1 first=$2
  sink_start "stalled-$how" --port "$PORT" --stall || fail "stalled sink"
  local stalled=$SINK_PID
  # Killed, the server leaves the long job's worker folder (the worker
  # waits to hand over its output): the next start sweeps it.
  local files=() n long=()
  [ "$how" = sigkill ] && long=("$D/long.pwg") && files+=("$D/long.pwg")
  for ((n = first; n < first + 10; n++)); do files+=("$(receipt $n)"); done
  submit shop "${files[@]}"
  local highest=$(last_id)
  case $how in
    shutdown)
      sleep 1
      local started=$(date +%s%N)
      app shutdown >/dev/null || fail "shutdown"
      ;;
    sigkill)
      sleep 0.5
      local started=$(date +%s%N)
      kill -KILL "$APP_PID"
      ;;
  esac
  while kill -0 "$APP_PID" 2>/dev/null; do sleep 0.05; done
  local ms=$((($(date +%s%N) - started) / 1000000))
  [ "$how" = sigkill ] || [ "$ms" -lt 5000 ] || fail "$how took $ms ms with a printer that reads nothing"
  wait "$APP_PID" 2>/dev/null
  local killed=$APP_PID
  APP_PID=""
  rm -f "$(app_socket)"
  # What a killed server leaves is swept at the next start.
  touch "$D/spool/p00001j000000999-left.pwg"
  # After the crash the last receipt's document is gone: its job ends
  # aborted, saying so; the others print.
  local gone=0
  if [ "$how" = sigkill ]; then
    gone=1
    rm "$D/state.queue/p1-j$highest.doc" || fail "the journal holds no document of job $highest"
  fi
  pgrep -f "qmx415u-worker\|rastertoqmx415u" >/dev/null && fail "a worker outlived the server"
  sink_stop "$stalled"
  sink_start "after-$how" --port "$PORT" || fail "healthy sink"
  mv "$D/log" "$D/log.before-$how"
  app_start -o upload-timeout=2 || fail "restart after $how"
  [ -e "$D/spool/p00001j000000999-left.pwg" ] && fail "a spool file no job owns was left after $how"
  [ -n "$(find "$TMPDIR" /tmp -maxdepth 1 -name "qmx415u-worker-$killed.*")" ] &&
    fail "a worker's folder was left after $how"
  wait_printed "after-$how" $((10 - gone + ${#long[@]}))
  local expected
  expected=$( ([ ${#long[@]} = 1 ] && echo L; seq "$first" $((first + 9 - gone))) | tr '\n' ' ' | sed 's/ $//')
  [ "$(numbers "after-$how")" = "$expected" ] || fail "after $how it printed $(numbers "after-$how")"
  local interrupted=$((highest - 9 - ${#long[@]}))
  grep -q "\[Job $interrupted\] Printing again from its start" "$D/log" ||
    fail "the interrupted job's log does not say it printed again"
  [[ "$(JOB_USER=shop job_attr shop $interrupted job-state-message)" == *"again from its start"* ]] ||
    fail "the interrupted job's message: $(JOB_USER=shop job_attr shop $interrupted job-state-message)"
  if [ $gone = 1 ]; then
    [ "$(JOB_USER=shop job_state shop "$highest")" = aborted ] || fail "a job whose document is gone is $(JOB_USER=shop job_state shop "$highest")"
    [[ "$(JOB_USER=shop job_attr shop "$highest" job-state-message)" == *"document is gone"* ]] ||
      fail "a job whose document is gone says: $(JOB_USER=shop job_attr shop "$highest" job-state-message)"
  fi
  submit shop $(receipt $((first + 10)))
  [ "$(last_id)" -gt "$highest" ] || fail "after $how, a new job got id $(last_id), not one after $highest"
  wait_printed "after-$how" $((11 - gone + ${#long[@]}))
  echo "ok - $how with 10 queued$([ "$how" = shutdown ] && echo " (stopped in $ms ms)"): after a restart all print once, in order$([ $gone = 1 ] && echo ", but the one whose document went, which ends aborted saying so"); ids continue"
  sink_stop "$SINK_PID"
}
stop_with shutdown 10
stop_with sigkill 30

# ---- An upload that stops halfway -------------------------------------------
sink_start upload --port "$PORT" || fail "sink"
half=$(($(stat -c %s "$D/long.pwg") / 2))
answer=$(python3 "$HERE/ipp_client.py" stall "ipp://localhost:$APP_PORT/ipp/print/shop" "$D/long.pwg" "$half" &
  sleep 0.5
  submit shop $(receipt 50)
  wait)
wait_printed upload 1
[ "$(numbers upload)" = 50 ] || fail "while an upload stalled, the printer printed $(numbers upload)"
sleep 3
[ "$(find "$D/upload" -maxdepth 1 -name 'conn-*.prn' | wc -l)" = 1 ] || fail "something of the stalled upload printed"
grep -q "The document stopped arriving" "$D/log" || fail "the stalled upload was not ended"
kill -0 "$APP_PID" || fail "the server died"
echo "ok - an upload that stops halfway: ended after upload-timeout, nothing of it printed, the printer free meanwhile (client saw: $answer)"

echo "queue_test: all passed"
