#!/usr/bin/env bash
# A job's worker that crashes or hangs ends only its own job. The worker
# of a long job is killed (SIGKILL) mid-job, and another one stopped
# (SIGSTOP) until the server gives up on it: each job ends aborted with
# aborted-by-system and its reason in the log, what reached the printer
# is whole commands only, nothing of the worker is left behind, and the
# next job prints whole. A job cancelled mid-way ends on a whole command.
#
# usage: worker_test.sh BIN_DIR
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/app_env.sh" "${1:?bin folder}"
BIN=$APP_BIN_DIR
D=$APP_DIR
TIMEOUT=2  # seconds without a sign of life before a worker is stopped

app_start -o worker-timeout=$TIMEOUT || fail "server"
sink_start out || fail "sink"
app add -d rp -m qmx415u -v "socket://127.0.0.1:$SINK_PORT" >/dev/null || fail "add printer"

make_pages || fail "pages"

JOB=0
CONNECTIONS=0
print_long() {
  ipptool -f "$D/long.pwg" "ipp://localhost:$APP_PORT/ipp/print/rp" /usr/share/cups/ipptool/print-job.test \
    >/dev/null 2>&1 &
  app_on_exit "kill $! 2>/dev/null"
  JOB=$((JOB + 1))
}
worker_of() {  # JOB: the pid of its worker, once started
  local pid
  for _ in $(seq 200); do
    pid=$(sed -n "s/.*\[Job $1\] Worker process \([0-9]*\) started.*/\1/p" "$D/log")
    [ -n "$pid" ] && { echo "$pid"; return 0; }
    sleep 0.01
  done
  return 1
}
wait_ended() {  # JOB
  for _ in $(seq 400); do
    [[ "$(job_state rp "$1")" =~ completed|aborted|canceled ]] && return 0
    sleep 0.05
  done
  return 1
}
# expect_aborted JOB WHAT REASON-TEXT: aborted, with its reason; the bytes
# that reached the printer decode strictly.
expect_aborted() {
  wait_ended "$1" || fail "$2: the job never ended"
  [ "$(job_state rp "$1")" = aborted ] || fail "$2: the job ended $(job_state rp "$1")"
  [[ "$(job_reasons rp "$1")" == *aborted-by-system* ]] || fail "$2: job-state-reasons $(job_reasons rp "$1")"
  grep -qE "\[Job $1\] The job failed: $3" "$D/log" || fail "$2: no reason in the log"
  CONNECTIONS=$((CONNECTIONS + 1))
  sink_wait out $CONNECTIONS || fail "$2: the printer's connection did not end"
  local got
  got=$(printf '%s/out/conn-%06d.prn' "$D" $CONNECTIONS)
  "$BIN/qmx415u-decode" "$got" >"$D/decoded.txt" 2>&1 ||
    fail "$2: the printer got half a command: $(tail -1 "$D/decoded.txt")"
  echo "ok - $2: aborted-by-system, '$(grep -E "\[Job $1\] The job failed" "$D/log" | sed 's/.*failed: //')'," \
    "$(stat -c %s "$got") bytes of whole commands reached the printer"
}
expect_next_job_prints() {
  ipptool -f "$D/receipt.pwg" "ipp://localhost:$APP_PORT/ipp/print/rp" /usr/share/cups/ipptool/print-job.test \
    >/dev/null 2>&1 || fail "the next job was refused"
  JOB=$((JOB + 1))
  wait_ended $JOB && [ "$(job_state rp $JOB)" = completed ] || fail "the next job did not complete"
  CONNECTIONS=$((CONNECTIONS + 1))
  sink_wait out $CONNECTIONS || fail "the next job's connection did not end"
  cmp -s "$(printf '%s/out/conn-%06d.prn' "$D" $CONNECTIONS)" "$D/receipt.prn" || fail "the next job is not whole"
  echo "ok - the next job prints whole"
}

# long_job_then SIGNAL: a long job, its worker sent SIGNAL mid-job; $pid is the worker's.
long_job_then() {
  print_long
  pid=$(worker_of $JOB) || fail "no worker started"
  sleep 0.2
  kill "-$1" "$pid" || fail "the worker ended before it got SIG$1"
}

# ---- A crash -----------------------------------------------------------------------
long_job_then KILL
expect_aborted $JOB "worker killed mid-job" "the worker \(process $pid\) was ended by signal 9"
# Pages count as printed when all of them reached the printer: each is
# 8000 rows (and a 12-row top margin) of a 20-page job.
rows=$("$BIN/qmx415u-decode" "$(printf '%s/out/conn-%06d.prn' "$D" $CONNECTIONS)" | sed -n 's/^paper: \([0-9]*\) dot lines.*/\1/p')
counted=$(job_impressions rp $JOB)
whole=$((rows / 8012))
[ "${counted:-x}" -le "$whole" ] && [ "$counted" -ge $((whole - 1)) ] ||
  fail "the killed job counts $counted pages printed; $whole whole pages reached the printer"
echo "ok - the killed job counts $counted pages printed, as the printer got them"
expect_next_job_prints

# ---- A hang ------------------------------------------------------------------------
long_job_then STOP
expect_aborted $JOB "worker stopped mid-job" "the worker \(process $pid\) gave no sign of life for $TIMEOUT s"
expect_next_job_prints

# ---- A cancel: the worker ends the job on a whole command ------------------------
print_long
worker_of $JOB >/dev/null || fail "no worker started"
sleep 0.2
app_printer rp cancel -j $JOB >/dev/null 2>&1 || fail "cancel refused"
wait_ended $JOB || fail "the cancelled job never ended"
[ "$(job_state rp $JOB)" = canceled ] || fail "the cancelled job ended $(job_state rp $JOB)"
CONNECTIONS=$((CONNECTIONS + 1))
sink_wait out $CONNECTIONS || fail "the cancelled job's connection did not end"
got=$(printf '%s/out/conn-%06d.prn' "$D" $CONNECTIONS)
"$BIN/qmx415u-decode" "$got" >"$D/decoded.txt" 2>&1 || fail "the cancelled job left half a command"
echo "ok - a cancelled job ends on a whole command ($(stat -c %s "$got") bytes)"
expect_next_job_prints

kill -0 "$APP_PID" 2>/dev/null || fail "the server died"
# Worker folders are made in $TMPDIR, or in /tmp when workers run as
# another user who cannot reach $TMPDIR.
left=$(find "$TMPDIR" /tmp -mindepth 1 -maxdepth 1 -name "qmx415u-worker-$APP_PID.*" | wc -l)
[ "$left" = 0 ] || fail "$left worker folders left behind"
[ -z "$(pgrep -P "$APP_PID")" ] || fail "workers left running: $(pgrep -P "$APP_PID" | tr '\n' ' ')"
echo "ok - no worker process or folder left behind"
echo "worker_test: all passed"
