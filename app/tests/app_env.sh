# Sourced by the app's tests: a private qmx415u-app server on a free
# localhost port, with its own state file, spool folder, log and local
# socket, stopped by its process id and removed on exit, also on failure.
#
#   source app_env.sh BIN_DIR
#   app_start            # server up; $APP_URI, $APP_DIR, $APP_PID, app ARGS...
#   sink_start out       # a network printer on loopback: $SINK_PORT, bytes in $APP_DIR/out/
#   app add -d NAME -m qmx415u -v socket://127.0.0.1:$SINK_PORT
#   app_stop             # also done by the exit trap, with the sinks
#
# The server writes files only inside $APP_DIR (file-device-folder), and
# is administered through its local socket, as the test's user.
#
# The program runs under a name of its own (a link), because papplMainloop
# names its local socket after the program (/run/NAME.sock as root): tests
# running side by side never share one.

APP_BIN_DIR=$(cd "${1:?bin folder}" && pwd)
# Under LeakSanitizer, leaks inside PAPPL and libcups are not the app's.
export LSAN_OPTIONS="suppressions=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
# PAPPL is built without frame pointers: only the slow unwinder sees past
# its frames to the exported function a suppression can name.
export ASAN_OPTIONS="fast_unwind_on_malloc=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
APP_DIR=$(mktemp -d "${TMPDIR:-/tmp}/qmx415u-app-test.XXXXXX")
APP_NAME="qmx415u-app-t$$"
APP_PID=""
APP_PORT=""
APP_CLEANUPS=()
APP_SINK_PIDS=()
APP_TESTS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ln -s "$APP_BIN_DIR/qmx415u-app" "$APP_DIR/$APP_NAME"
# Whatever the programs leave in a temporary folder, even when one dies,
# goes with the test's folder.
mkdir "$APP_DIR/tmp"
export TMPDIR="$APP_DIR/tmp"

app_socket() {
  if [ "$(id -u)" = 0 ]; then echo "/run/$APP_NAME.sock"; else echo "${TMPDIR:-/tmp}/$APP_NAME$(id -u).sock"; fi
}

# A sub-command through the server's local socket, which administers it
# without a password; never when the server is gone (papplMainloop would
# start one of its own with the default files).
app_local() {
  [ -S "$(app_socket)" ] && kill -0 "$APP_PID" 2>/dev/null || { echo "app: no server" >&2; return 1; }
  "$APP_DIR/$APP_NAME" "$@"
}

# Runs a sub-command against the private server: app SUB ARGS...
# (system-wide ones: add, status, shutdown, jobs of all printers).
app() { app_local "$@"; }

# A sub-command for one printer: app_printer NAME SUB ARGS...
app_printer() {
  local name=$1 sub=$2
  shift 2
  "$APP_DIR/$APP_NAME" "$sub" -u "ipp://localhost:$APP_PORT/ipp/print/$name" "$@"
}

app_free_port() {
  local port
  for _ in $(seq 50); do
    # Below the kernel's ephemeral ports (32768 on), which outgoing
    # connections and the sinks take.
    port=$((20000 + RANDOM % 12000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  return 1
}

# Waits until the server answers; false when it died or never answered.
app_wait_ready() {
  for _ in $(seq 100); do
    kill -0 "$APP_PID" 2>/dev/null || return 1
    # Not `status`: a sub-command that finds no server starts one.
    if (exec 3<>"/dev/tcp/127.0.0.1/$APP_PORT") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  return 1
}

# app_start [server -o options...]
app_start() {
  APP_PORT=$(app_free_port) || { echo "no free port" >&2; return 1; }
  APP_URI="ipp://localhost:$APP_PORT/ipp/system"
  mkdir -p "$APP_DIR/spool"
  ${APP_WRAP:-} "$APP_DIR/$APP_NAME" server -o listen-hostname=localhost -o server-port="$APP_PORT" \
    -o state-file="$APP_DIR/state" -o spool-directory="$APP_DIR/spool" -o log-file="$APP_DIR/log" \
    -o file-device-folder="$APP_DIR" \
    -o log-level="${APP_LOG_LEVEL:-info}" "$@" >"$APP_DIR/stdout" 2>&1 &
  APP_PID=$!
  if ! app_wait_ready; then
    echo "qmx415u-app did not start; its log:" >&2
    cat "$APP_DIR/stdout" "$APP_DIR/log" >&2 2>/dev/null
    return 1
  fi
}

# app_private_tls: the next app_start runs the server with a /etc/cups/ssl
# of its own (a tmpfs in a mount namespace), for a root server that may make
# a TLS certificate: PAPPL 1.3 writes a root server's into CUPS' folder.
# Nothing for other users, whose certificates go to their own folders.
app_private_tls() {
  [ "$(id -u)" = 0 ] && [ -d /etc/cups/ssl ] || return 0
  printf '#!/bin/sh\nmount -t tmpfs -o mode=0755 tmpfs /etc/cups/ssl || exit 1\nexec "$@"\n' >"$APP_DIR/private-tls"
  chmod 0755 "$APP_DIR/private-tls"
  APP_WRAP="unshare --mount --propagation private $APP_DIR/private-tls"
}

app_stop() {
  [ -n "$APP_PID" ] || return 0
  kill -TERM "$APP_PID" 2>/dev/null
  for _ in $(seq 50); do
    kill -0 "$APP_PID" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$APP_PID" 2>/dev/null
  wait "$APP_PID" 2>/dev/null
  # A server killed mid-job leaves its worker's folder (in /tmp when the
  # worker runs as another user); the folder names the server.
  rm -rf "${TMPDIR:-/tmp}/qmx415u-worker-$APP_PID".* /tmp/qmx415u-worker-"$APP_PID".*
  APP_PID=""
  rm -f "$(app_socket)"
}

# sink_start NAME [--port N] [--stall | --rate BYTES_PER_SECOND]: a raw TCP printer
# port on loopback (app/tests/tcp_sink.py) keeping each connection's bytes
# in $APP_DIR/NAME/conn-NNNNNN.prn; sets SINK_PORT and SINK_PID.
sink_start() {
  local name=$1
  shift
  mkdir -p "$APP_DIR/$name"
  python3 "$APP_TESTS_DIR/tcp_sink.py" "$APP_DIR/$name" "$@" &
  SINK_PID=$!
  APP_SINK_PIDS+=("$SINK_PID")
  for _ in $(seq 100); do
    [ -f "$APP_DIR/$name/port" ] && break
    sleep 0.05
  done
  SINK_PORT=$(cat "$APP_DIR/$name/port" 2>/dev/null) || { echo "sink $name did not start" >&2; return 1; }
}

# sink_stop PID: the printer goes away.
sink_stop() { kill -KILL "$1" 2>/dev/null; wait "$1" 2>/dev/null; }

# sink_wait NAME COUNT: waits until COUNT connections of the sink have ended.
sink_wait() {
  for _ in $(seq 300); do
    [ "$(find "$APP_DIR/$1" -name 'conn-*.prn' | wc -l)" -ge "$2" ] && return 0
    sleep 0.05
  done
  return 1
}

# job_attr PRINTER JOB-ID ATTRIBUTE: the job attribute's value as IPP reports
# it (values joined by commas; job ids are the printer's own), asked as the
# job's owner $JOB_USER (the test's user when unset).
job_attr() {
  [ -f "$APP_DIR/job-attributes.test" ] || cat >"$APP_DIR/job-attributes.test" <<'END'
{
	OPERATION Get-Job-Attributes
	GROUP operation-attributes-tag
	ATTR charset attributes-charset utf-8
	ATTR naturalLanguage attributes-natural-language en
	ATTR uri printer-uri $uri
	ATTR integer job-id $job_id
	ATTR name requesting-user-name $owner
	ATTR keyword requested-attributes all
	STATUS successful-ok
}
END
  ipptool -tv -d job_id="$2" -d owner="${JOB_USER:-$(id -un)}" "ipp://localhost:$APP_PORT/ipp/print/$1" \
    "$APP_DIR/job-attributes.test" 2>/dev/null | sed -n "s/^ *$3 ([^)]*) = //p" | head -1
}
job_reasons() { job_attr "$1" "$2" job-state-reasons; }
job_state() { job_attr "$1" "$2" job-state; }
job_impressions() { job_attr "$1" "$2" job-impressions-completed; }

# make_pages: the sample receipt as the app's clients send it
# ($APP_DIR/receipt.pwg: 8-bit grey on the 80 mm page, 4 mm left margin)
# with its stream as qmx415u-print makes it ($APP_DIR/receipt.prn), and a
# long job ($APP_DIR/long.pwg): pages of one row of noise over and over,
# which PWG raster shortens and the printer's encodings do not, about
# 12 MB of printer bytes, far more than the kernel buffers (up to 4 MB a
# side) for a connection that is not read.
make_pages() {
  "$APP_BIN_DIR/qmx415u-sample" receipt "$APP_DIR/receipt.pbm" &&
    "$APP_BIN_DIR/qmx415u-make-raster" --format pwg --grey --width 639 --left 32 -o "$APP_DIR/receipt.pwg" \
      "$APP_DIR/receipt.pbm" &&
    "$APP_BIN_DIR/qmx415u-print" --quiet -o "$APP_DIR/receipt.prn" "$APP_DIR/receipt.pbm" &&
    python3 -c 'import os, sys; open(sys.argv[1], "wb").write(b"P4\n576 8000\n" + os.urandom(72) * 8000)' \
      "$APP_DIR/noise.pbm" &&
    "$APP_BIN_DIR/qmx415u-make-raster" --format pwg --grey --width 639 --left 32 --repeat 20 \
      -o "$APP_DIR/long.pwg" "$APP_DIR/noise.pbm"
}

# app_create_printer AS URI NAME DEVICE: Create-Printer of NAME on DEVICE
# sent by ipptool as user AS (through $APP_CLIENT_WRAP, when set); prints
# the status-code the server answered (ipptool reports HTTP refusals as
# IPP status codes too).
app_create_printer() {
  local as=$1 uri=$2 name=$3 device=$4 file="$APP_DIR/create-printer.test"
  [ -f "$file" ] || { cat >"$file" && chmod 0644 "$file"; } <<'EOF'
{
	NAME "Create-Printer $name on $device"
	OPERATION Create-Printer
	GROUP operation-attributes-tag
	ATTR charset attributes-charset utf-8
	ATTR naturalLanguage attributes-natural-language en
	ATTR uri system-uri $uri
	ATTR keyword printer-service-type print
	ATTR uri smi55357-device-uri $device
	ATTR keyword smi55357-driver qmx415u
	GROUP printer-attributes-tag
	ATTR name printer-name $name
	STATUS successful-ok
}
EOF
  ${APP_CLIENT_WRAP:-} runuser -u "$as" -- env HOME="${APP_CLIENT_HOME:-/nonexistent}" ipptool -tv \
    -d name="$name" -d device="$device" "$uri" "$file" 2>&1 | sed -n 's/^ *status-code = \([^ ]*\).*/\1/p' | head -1
}

# app_needs_root WHY: a test that cannot run without root ends as a skip
# (exit 77, which ctest shows as one) for any other user.
app_needs_root() {
  [ "$(id -u)" = 0 ] && return 0
  echo "skip - needs root ($1)"
  exit 77
}

# Runs `command...` when the test exits (the latest first).
app_on_exit() { APP_CLEANUPS+=("$*"); }

# Tries `command...` a few times: useradd and its kin fail while another
# process holds the user database's lock.
app_retry() {
  for _ in 1 2 3 4 5; do
    "$@" && return 0
    sleep 0.5
  done
  return 1
}

# app_user NAME GROUP: a user of the test's own (no home, no shell) in
# GROUP, with a random password in $APP_USER_PASSWORD. Removed on exit.
# Root only: false otherwise.
app_user() {
  local name=$1 group=$2
  [ "$(id -u)" = 0 ] || return 1
  APP_USER_PASSWORD="pw$RANDOM$RANDOM$RANDOM"
  app_retry useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin --no-user-group \
    --gid "$group" "$name" || return 1
  app_on_exit "app_retry userdel $name"
  app_retry app_set_password "$name" "$APP_USER_PASSWORD"
}

app_set_password() { chpasswd <<<"$1:$2"; }

# app_admin: an admin group of the test's own and a member of it, for a
# server started with -o admin-group="$APP_ADMIN_GROUP": sets
# $APP_ADMIN_GROUP, $APP_ADMIN_USER, $APP_ADMIN_PASSWORD. Root only.
app_admin() {
  [ "$(id -u)" = 0 ] || return 1
  APP_ADMIN_GROUP="qmxa$$"
  APP_ADMIN_USER="qmxu$$"
  app_retry groupadd "$APP_ADMIN_GROUP" || return 1
  app_on_exit "app_retry groupdel $APP_ADMIN_GROUP"
  app_user "$APP_ADMIN_USER" "$APP_ADMIN_GROUP" || return 1
  APP_ADMIN_PASSWORD=$APP_USER_PASSWORD
}

app_cleanup() {
  local status=$?
  local i c
  app_stop  # first: the server may run as a user of the test's own
  for ((i = ${#APP_CLEANUPS[@]} - 1; i >= 0; i--)); do eval "${APP_CLEANUPS[i]}"; done  # last made, first gone
  for c in "${APP_SINK_PIDS[@]}"; do sink_stop "$c"; done
  if [ $status -ne 0 ] && [ -f "$APP_DIR/log" ]; then
    echo "--- end of the server's log ---" >&2
    tail -n 40 "$APP_DIR/log" >&2
  fi
  [ -n "${APP_KEEP:-}" ] && cp -r "$APP_DIR" "$APP_KEEP"
  rm -rf "$APP_DIR"
  exit $status
}
trap app_cleanup EXIT
trap 'exit 130' INT TERM

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
