#!/usr/bin/env bash
# The app as its unit runs it, without systemd (not PID 1 here): the unit's
# command line, its folders moved into the test's, as an unprivileged
# user (nobody, when the test runs as root; else the test's own user) with
# no capabilities and no new privileges, started with umask 000.
#
# - The server's user sets a printer up through the local socket, which is
#   the server's user's alone: another user cannot connect.
# - A job printed over IPP lands in the file-device folder, the server's
#   user's alone; so are the state file and spool.
#
# usage: service_test.sh BIN_DIR UNIT_FILE
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/app_env.sh" "${1:?bin folder}"
UNIT=${2:?unit file}
BIN=$APP_BIN_DIR
D=$APP_DIR
S="$D/service"  # stands for /var/lib, /var/cache and /run of the unit

if [ "$(id -u)" = 0 ]; then
  AS=nobody
  OTHER=daemon
  RUN_AS=(setpriv --reuid="$AS" --regid=nogroup --clear-groups --no-new-privs --inh-caps=-all --bounding-set=-all
    env HOME=/nonexistent TMPDIR="$S/tmp")
else
  AS=$(id -un)
  OTHER=""
  RUN_AS=(setpriv --no-new-privs env TMPDIR="$S/tmp")
fi
mkdir -p "$S/lib" "$S/cache" "$S/run" "$S/tmp" "$S/files/jobs"
chmod 0711 "$D"
[ "$AS" = "$(id -un)" ] || chown -R "$AS" "$S"
: >"$D/log"
[ "$AS" = "$(id -un)" ] || chown "$AS" "$D/log"

# The unit's command line, its words as the unit has them, the folders moved.
exec_start=$(sed -e ':a' -e '/\\$/N; s/\\\n//; ta' "$UNIT" | sed -n 's/^ExecStart=//p')
[ -n "$exec_start" ] || fail "no ExecStart in $UNIT"
read -r -a words <<<"$exec_start"
words[0]="$D/$APP_NAME"
for i in "${!words[@]}"; do
  words[i]=${words[i]//\/var\/lib\/qmx415u-app/$S/lib}
  words[i]=${words[i]//\/var\/cache\/qmx415u-app/$S/cache}
  words[i]=${words[i]//\/run\/qmx415u-app/$S/run}
done
SOCKET="$S/tmp/$APP_NAME$(id -u "$AS").sock"  # where the sub-commands of the server's user look
PORT=$(app_free_port) || fail "no free port"
APP_PORT=$PORT
(umask 000 && exec "${RUN_AS[@]}" "${words[@]}" -o server-port="$PORT" -o log-file="$D/log" \
  -o file-device-folder="$S/files" -o local-socket="$SOCKET") >"$D/stdout" 2>&1 &
APP_PID=$!
app_wait_ready || fail "the server did not start: $(cat "$D/stdout")"
[ "$(ps -o user= -p "$APP_PID")" = "$AS" ] || fail "the server runs as $(ps -o user= -p "$APP_PID")"

# ---- The local socket ------------------------------------------------------------
[ "$(stat -c '%U %a' "$SOCKET")" = "$AS 600" ] || fail "local socket: $(stat -c '%U %a' "$SOCKET")"
"${RUN_AS[@]}" "$D/$APP_NAME" add -d rp -m qmx415u -v "prnfile://$S/files/jobs/" >/dev/null ||
  fail "the server's user cannot add a printer through the local socket"
if [ -n "$OTHER" ]; then
  runuser -u "$OTHER" -- /usr/bin/python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).connect(sys.argv[1])' \
    "$SOCKET" 2>/dev/null && fail "$OTHER connected to the local socket"
fi
echo "ok - the server's user alone reaches its local socket, and sets a printer up through it"

# ---- Printing --------------------------------------------------------------------
"$BIN/qmx415u-sample" receipt "$D/receipt.pbm"
"$BIN/qmx415u-make-raster" --format pwg --grey --width 639 --left 32 -o "$D/receipt.pwg" "$D/receipt.pbm"
ipptool -f "$D/receipt.pwg" "ipp://localhost:$PORT/ipp/print/rp" /usr/share/cups/ipptool/print-job.test \
  >"$D/ipptool.out" 2>&1 || fail "Print-Job: $(cat "$D/ipptool.out")"
for _ in $(seq 200); do
  grep -q "Completed" "$D/log" && break
  sleep 0.05
done
job=$(find "$S/files/jobs" -name 'job-*.prn' | head -1)
[ -n "$job" ] || fail "no job file: $(tail -5 "$D/log")"
"$BIN/qmx415u-decode" "$job" >/dev/null || fail "the job does not decode"
sleep 1.5  # the state is saved within a second of the last job (app/main.cc)
for f in "$job:600" "$S/lib/qmx415u-app.state:600" "$S/cache/spool:700"; do
  [ "$(stat -c '%U %a' "${f%:*}")" = "$AS ${f##*:}" ] || fail "${f%:*}: $(stat -c '%U %a' "${f%:*}")"
done
echo "ok - a job printed as $AS lands in the folder; job, state and spool are $AS's alone"
echo "service_test: all passed"
