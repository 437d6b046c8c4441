#!/usr/bin/env bash
# A server run by root, as its unit used to run it, against local users who
# try to make it write where they may not:
#
# - Create-Printer over loopback TCP, as nobody and as other users, with
#   prnfile: and file: devices under /etc: refused without the password of
#   an admin group member, and refused for such devices even with it;
# - the web page's add-printer form likewise;
# - the local socket: nobody cannot connect, root adds printers through it
#   but not on such devices;
# - inside the file-device folder, whatever sits at a printer's path (a
#   link out of the folder, a FIFO, a device node, someone else's file, a
#   second name of a file) is never written through, and printing goes on;
# - started with umask 000, the server's files are still its own alone;
# - the machine's name (/etc/hostname, the host name) stays as it was.
#
# Nothing appears under /etc (in a folder the test makes there, nor beside
# it). Needs root (users of the test's own, runuser); otherwise a skip.
#
# usage: access_test.sh BIN_DIR
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/app_env.sh" "${1:?bin folder}"
BIN=$APP_BIN_DIR
D=$APP_DIR
app_needs_root "users of its own, runuser"
OUTSIDE="/etc/qmx415u-access-$$"
mkdir -m 0755 "$OUTSIDE" || fail "mkdir $OUTSIDE"
app_on_exit "rm -rf $OUTSIDE*"
chmod 0711 "$D"  # other users reach the request files; the server's own files stay its own
app_admin || fail "admin group and user"
OTHER="qmxo$$"
app_user "$OTHER" nogroup || fail "user $OTHER"
OTHER_PASSWORD=$APP_USER_PASSWORD

nothing_outside() {
  if [ -n "$(ls -A "$OUTSIDE")" ] || compgen -G "$OUTSIDE?*" >/dev/null; then
    fail "$1: wrote $(ls -d "$OUTSIDE"/* "$OUTSIDE"?* 2>/dev/null)"
  fi
}

# An older version's log, readable by all; and a permissive umask.
: >"$D/log"
chmod 0644 "$D/log"
umask 000
app_start -o admin-group="$APP_ADMIN_GROUP" || fail "server"
umask 077
mkdir "$D/jobs"
"$BIN/qmx415u-sample" receipt "$D/receipt.png"
chmod 0644 "$D/receipt.png"

# ---- Create-Printer over loopback TCP ---------------------------------------
ADMIN="$APP_ADMIN_USER:$APP_ADMIN_PASSWORD@"
#     as      sign-in             device                       expected status
CASES=(
  "nobody -                       prnfile://$OUTSIDE           client-error-not-authenticated"
  "nobody -                       file:///etc                  client-error-not-authenticated"
  "root   -                       prnfile://$OUTSIDE           client-error-not-authenticated"
  "nobody $OTHER:$OTHER_PASSWORD@ prnfile://$D/jobs/           client-error-forbidden"
  "nobody $ADMIN                  prnfile://$OUTSIDE/x         client-error-attributes-or-values-not-supported"
  "nobody $ADMIN                  prnfile://$OUTSIDE/          client-error-attributes-or-values-not-supported"
  "nobody $ADMIN                  prnfile://$D/../..$OUTSIDE/  client-error-attributes-or-values-not-supported"
  "nobody $ADMIN                  file://$OUTSIDE              client-error-attributes-or-values-not-supported"
  "nobody $ADMIN                  prnfile://$D/jobs/           successful-ok"
)
n=0
for c in "${CASES[@]}"; do
  read -r as sign_in device status <<<"$c"
  [ "$sign_in" = - ] && sign_in=""
  n=$((n + 1))
  got=$(app_create_printer "$as" "ipp://${sign_in}localhost:$APP_PORT/ipp/system" "c$n" "$device")
  [ "$got" = "$status" ] || fail "Create-Printer as $as ${sign_in:+(signed in) }on $device: $got, not $status"
  nothing_outside "Create-Printer $device"
done
[ "$(app printers)" = "c$n" ] || fail "printers other than c$n were made: $(app printers)"
echo "ok - Create-Printer: refused without an admin's password, and on devices outside the folder"

# ---- The web page's add-printer form ----------------------------------------
web() {  # USER SIGN-IN PATH [curl options]: prints the HTTP status
  local as=$1 sign_in=$2 path=$3
  shift 3
  runuser -u "$as" -- curl -s -w '%{stderr}%{http_code}' ${sign_in:+-u "$sign_in"} "$@" \
    "http://localhost:$APP_PORT/$path" 2>&1 >"$D/page.html"
}
form=(-d printer_name=w1 -d driver_name=qmx415u -d "device_uri=prnfile://$OUTSIDE/")
[ "$(web nobody "" addprinter "${form[@]}")" = 401 ] || fail "add-printer form without a password"
[ "$(web nobody "$APP_ADMIN_USER:wrong" addprinter "${form[@]}")" = 401 ] || fail "add-printer form, wrong password"
[ "$(web nobody "$OTHER:$OTHER_PASSWORD" addprinter "${form[@]}")" = 403 ] || fail "add-printer form, not an admin"
# An admin's form: refused devices (PAPPL 1.3 shows the form again, with
# the devices it finds).
[ "$(web nobody "$APP_ADMIN_USER:$APP_ADMIN_PASSWORD" config)" = 200 ] || fail "config page for an admin"
session=$(sed -n 's/.*name="session"[^>]*value="\([^"]*\)".*/\1/p' "$D/page.html" | head -1)
[ -n "$session" ] || fail "no session in the config form"
for device in "prnfile://$OUTSIDE/" "prnfile://$OUTSIDE/x" "file://$OUTSIDE"; do
  web nobody "$APP_ADMIN_USER:$APP_ADMIN_PASSWORD" addprinter -d printer_name=w1 -d driver_name=qmx415u \
    --data-urlencode "device_uri=$device" -d "session=$session" >/dev/null
  nothing_outside "add-printer form $device"
done
[ "$(app printers)" = "c$n" ] || fail "the add-printer form made a printer: $(app printers)"
echo "ok - add-printer form: refused without an admin's password, and on devices outside the folder"

# ---- The local socket --------------------------------------------------------
socket=$(app_socket)
[ "$(stat -c '%a %U %G' "$socket")" = "660 root $APP_ADMIN_GROUP" ] ||
  fail "local socket is $(stat -c '%a %U %G' "$socket")"
connect() { runuser -u "$1" -- /usr/bin/python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).connect(sys.argv[1])' "$socket" 2>/dev/null; }
connect nobody && fail "nobody connected to the local socket"
connect "$APP_ADMIN_USER" || fail "an admin group member cannot connect to the local socket"
for device in "prnfile://$OUTSIDE/" "prnfile://$OUTSIDE/x" "file://$OUTSIDE" "prnfile://localhost$OUTSIDE/"; do
  app add -d root1 -m qmx415u -v "$device" >/dev/null 2>&1 && fail "root added a printer on $device"
  nothing_outside "add on $device"
done
echo "ok - local socket: only root and the admin group; root cannot add a printer outside the folder either"

# ---- What sits inside the folder ---------------------------------------------
print() {  # PRINTER
  ipptool -f "$D/receipt.png" "ipp://localhost:$APP_PORT/ipp/print/$1" /usr/share/cups/ipptool/print-job.test \
    >"$D/ipptool.out" 2>&1 || fail "Print-Job to $1: $(cat "$D/ipptool.out")"
}
wait_log() {  # PATTERN WHAT
  for _ in $(seq 200); do
    grep -qF -- "$1" "$D/log" && return 0
    sleep 0.05
  done
  fail "$2"
}
echo "theirs" >"$D/theirs.prn"
chown nobody "$D/theirs.prn"
echo "mine" >"$D/mine"
ln "$D/mine" "$D/second-name.prn"
ln -s "$OUTSIDE" "$D/link"
ln -s "$OUTSIDE/x" "$D/link.prn"
mkfifo "$D/fifo"
mknod "$D/null" c 1 3
#       printer  path               what it is
TRAPS=("link     link/              a link to a folder in /etc"
  "linkdir  link/x             a file through a link to /etc"
  "linkfile link.prn           a link to a file in /etc"
  "fifo     fifo               a FIFO"
  "node     null               a device node"
  "theirs   theirs.prn         another user's file"
  "second   second-name.prn    a second name of a file")
for t in "${TRAPS[@]}"; do
  read -r printer path what <<<"$t"
  app add -d "$printer" -m qmx415u -v "prnfile://$D/$path" >/dev/null || fail "add $printer"
  print "$printer"
  wait_log "Unable to open \\'$D/${path%/}\\'" "$what: no refusal logged"  # PAPPL's log escapes quotes
  nothing_outside "$what"
done
[ "$(cat "$D/theirs.prn")" = theirs ] && [ "$(cat "$D/mine")" = mine ] || fail "a file in the folder was written"
print c$n
wait_log "Completed" "printing stopped after the refusals"
echo "ok - links, FIFOs, device nodes and files not the server's own are not written through"

# ---- Owner-only files ----------------------------------------------------------
job=$(find "$D/jobs" -name 'job-*.prn' | head -1)
[ -n "$job" ] || fail "no job file"
sleep 1.5  # the state is saved within a second of the last job (app/main.cc)
for f in "$job:600" "$D/state:600" "$D/log:600" "$D/spool:700"; do  # a new state file; an old log
  [ "$(stat -c %a "${f%:*}")" = "${f##*:}" ] || fail "${f%:*} has mode $(stat -c %a "${f%:*}")"
done
found=$(find "$D/spool" -perm /077 | head -1)
[ -z "$found" ] || fail "spool file $found is readable by others"
echo "ok - job file, state file, log and spool are the server's alone, started with umask 000"

# ---- The machine's name -------------------------------------------------------
# A second server, in mount and host-name namespaces of its own where
# /etc/hostname is a file of the test's: PAPPL 1.3 writes the server name
# there and into the host name when it may.
echo test-machine >"$D/hostname"
mkdir "$D/second"
port=$(app_free_port) || fail "no free port"
unshare --mount --uts --propagation private bash -c '
  mount --bind "$1" /etc/hostname && hostname test-machine || exit 2
  "$2" server -o listen-hostname=localhost -o server-port="$3" -o state-file="$4/state" \
    -o spool-directory="$4/spool" -o log-file="$4/log" -o local-socket="$4/socket" >"$4/stdout" 2>&1 &
  pid=$!
  for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$3") 2>/dev/null && break; sleep 0.1; done
  kill "$pid"
  wait "$pid"
  echo "$(hostname) $(cat /etc/hostname)"' _ "$D/hostname" "$D/$APP_NAME" "$port" "$D/second" >"$D/names" 2>&1 ||
  fail "namespaces for the second server: $(cat "$D/names")"
[ "$(cat "$D/names")" = "test-machine test-machine" ] || fail "the server renamed the machine: $(cat "$D/names")"
grep -q "localhost:$port" "$D/second/log" || fail "the second server did not run"
echo "ok - a server run by root leaves /etc/hostname and the host name alone"
echo "access_test: all passed"
