#!/usr/bin/env bash
# Installs the Debian package into this machine (apt-get; its dependencies
# must be installed already),
# checks what it sets up for the printer application (its user in group
# lp, unit, udev rule, PAM service, the link to the service's socket), runs
# the app as the unit would (its user, the unit's command line, no
# capabilities, no new privileges, umask 0077; systemd does not run here)
# and prints through it into a loopback socket:// sink, administered by a
# member of lpadmin who is not root: through the linked socket (the web
# password, a printer) and on the web page with that password. Then purges
# the package and checks that nothing of it is left. The package is purged
# on every exit.
#
# Root only, only from a build for the package's prefix (as deb_test.sh),
# and only when the package and its user are not on the machine already;
# otherwise a skip (exit 77).
#
# Usage: deb_install_test.sh BUILD_DIR INSTALL_PREFIX PACKAGE_PREFIX
set -uo pipefail
build=$(cd "${1:?build folder}" && pwd)
PACKAGE=qmx415u
USER_NAME=qmx415u
APP=qmx415u-app
UNIT=/usr/lib/systemd/system/$APP.service
RULE=/usr/lib/udev/rules.d/70-$APP.rules
PAM=/etc/pam.d/$APP
LINK=/run/$APP.sock
ADMIN_GROUP=lpadmin
MEMBER="qmxm$$"
SKIP=77

if [ "$(id -u)" != 0 ]; then
  echo "skip - needs root"
  exit $SKIP
fi
if [ "${2:?install prefix}" != "${3:?package prefix}" ]; then
  echo "skip - this build installs into $2; the package is built from a build for $3"
  exit $SKIP
fi
if dpkg-query -W -f='${Status}' "$PACKAGE" 2>/dev/null | grep -q installed || getent passwd "$USER_NAME" >/dev/null; then
  echo "skip - $PACKAGE or its user is on this machine already"
  exit $SKIP
fi

# What was there before the package is not the package's to remove.
spool="/var/spool/$APP"
[ -e "$spool" ] && spool=""
work=$(mktemp -d "${TMPDIR:-/tmp}/qmx415u-deb.XXXXXX")
chmod 0755 "$work"
app_pid=""
sink_pid=""
cleanup() {
  local status=$?
  [ -n "$app_pid" ] && kill -KILL "$app_pid" 2>/dev/null
  [ -n "$sink_pid" ] && kill "$sink_pid" 2>/dev/null
  wait 2>/dev/null
  getent passwd "$MEMBER" >/dev/null && userdel "$MEMBER"
  if dpkg-query -W -f='${Status}' "$PACKAGE" 2>/dev/null | grep -q "ok installed\|config-files"; then
    DEBIAN_FRONTEND=noninteractive dpkg --purge "$PACKAGE" >/dev/null 2>&1 || echo "cleanup: dpkg --purge failed" >&2
  fi
  [ $status -ne 0 ] && [ -f "$work/app.log" ] && tail -20 "$work/app.log" >&2
  rm -rf "$work"
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

free_port() {
  local port
  for _ in $(seq 50); do
    # Below the kernel's ephemeral ports (32768 on), which outgoing
    # connections take.
    port=$((20000 + RANDOM % 12000))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return 0; }
  done
  return 1
}

wait_port() {  # PORT PID
  for _ in $(seq 100); do
    kill -0 "$2" 2>/dev/null || return 1
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# ---- Install ----------------------------------------------------------------
(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null) || fail "cpack"
deb=$(ls "$work"/package/${PACKAGE}_*.deb)
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$deb" \
  >"$work/apt.log" 2>&1 || fail "apt-get install: $(tail -5 "$work/apt.log")"

passwd_entry=$(getent passwd "$USER_NAME") || fail "no user $USER_NAME"
IFS=: read -r _ _ _ _ _ home shell <<<"$passwd_entry"
[ "$home" = "/var/lib/$APP" ] || fail "$USER_NAME's home is $home"
case "$shell" in */nologin | */false) ;; *) fail "$USER_NAME can log in ($shell)" ;; esac
id -nG "$USER_NAME" | tr ' ' '\n' | grep -qx lp || fail "$USER_NAME is not in group lp"
for f in "$UNIT" "$RULE" "$PAM" "/etc/systemd/system/multi-user.target.wants/$APP.service"; do
  [ -e "$f" ] || fail "no $f"
done
grep -q 'ENV{ID_USB_INTERFACES}=="\*:07????:\*".*GROUP="lp"' "$RULE" || fail "the udev rule does not give lp USB printers"
[ "$(readlink "$LINK")" = "/run/$APP/$APP.sock" ] || fail "$LINK does not link to the service's socket"
[ "$(stat -c '%U %G %a' "/run/$APP")" = "$USER_NAME $ADMIN_GROUP 2750" ] ||
  fail "the runtime folder is $(stat -c '%U %G %a' "/run/$APP"), not $ADMIN_GROUP's and set-group-ID"
systemd-analyze security --offline=true --threshold=25 "$UNIT" >"$work/security.txt" 2>&1 ||
  fail "the installed unit scores $(tail -1 "$work/security.txt")"
echo "ok - installed: user in lp, unit enabled, udev rule, PAM service, socket link; unit exposure $(tail -1 "$work/security.txt" | sed 's/.*: //')"

# ---- The app as the unit runs it --------------------------------------------
# The unit's command line, its folders (as systemd makes them) and user.
exec_start=$(sed -e ':a' -e '/\\$/N; s/\\\n//; ta' "$UNIT" | sed -n 's/^ExecStart=//p')
[ -n "$exec_start" ] || fail "no ExecStart in $UNIT"
for d in "/var/lib/$APP" "/var/cache/$APP" "$work/tmp"; do  # /run/$APP is tmpfiles.d's, checked above
  install -d -o "$USER_NAME" -g "$USER_NAME" -m 0700 "$d"
done
port=$(free_port) || fail "no free port"
# shellcheck disable=SC2086  # the unit's words
(umask 0077 && exec setpriv --reuid="$USER_NAME" --regid="$USER_NAME" --init-groups --no-new-privs \
  --inh-caps=-all --bounding-set=-all env -i HOME="$home" TMPDIR="$work/tmp" PATH=/usr/bin:/bin \
  $exec_start -o server-port="$port") >"$work/app.log" 2>&1 &
app_pid=$!
wait_port "$port" "$app_pid" || fail "the app did not start: $(tail -5 "$work/app.log")"
[ "$(ps -o user= -p "$app_pid")" = "$USER_NAME" ] || fail "the app runs as $(ps -o user= -p "$app_pid")"

sink_port=$(free_port) || fail "no free port"
/usr/bin/python3 - "$sink_port" "$work/sink.prn" >"$work/sink.log" 2>&1 <<'EOF' &
import socket, sys
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", int(sys.argv[1])))
server.listen(1)
with open(sys.argv[2], "wb") as out:
    while True:
        connection, _ = server.accept()
        while chunk := connection.recv(65536):
            out.write(chunk)
            out.flush()
        connection.close()
EOF
sink_pid=$!
wait_port "$sink_port" "$sink_pid" || fail "the sink did not start"

# A member of lpadmin, not root, sets the service up: the web password and
# a printer through the socket, then signs in on the web page with it.
useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin -G "$ADMIN_GROUP" "$MEMBER" ||
  fail "useradd $MEMBER"
password="web-$RANDOM$RANDOM"
printf '%s\n' "$password" | runuser -u "$MEMBER" -- "$APP" passwd >"$work/passwd.log" 2>&1 ||
  fail "a member of $ADMIN_GROUP cannot set the web password through $LINK: $(cat "$work/passwd.log")"
runuser -u "$MEMBER" -- "$APP" add -d receipt -m qmx415u -v "socket://127.0.0.1:$sink_port" >"$work/add.log" 2>&1 ||
  fail "a member of $ADMIN_GROUP cannot add a printer through $LINK: $(cat "$work/add.log")"
[ "$(curl -s -o /dev/null -w '%{http_code}' -u "admin:$password" "http://localhost:$port/addprinter")" = 200 ] ||
  fail "the web password does not sign in on the web page"
[ "$(curl -s -o /dev/null -w '%{http_code}' -u "admin:not-$password" "http://localhost:$port/addprinter")" = 401 ] ||
  fail "a wrong web password signs in"
qmx415u-sample receipt "$work/receipt.png" || fail "qmx415u-sample"
chmod 0644 "$work/receipt.png"
runuser -u nobody -- "$APP" submit -u "ipp://localhost:$port/ipp/print/receipt" "$work/receipt.png" >/dev/null ||
  fail "nobody cannot print"
for _ in $(seq 200); do
  qmx415u-decode "$work/sink.prn" >"$work/decoded.txt" 2>&1 && break
  sleep 0.1
done
qmx415u-decode "$work/sink.prn" >/dev/null 2>&1 || fail "no job reached the sink: $(tail -3 "$work/app.log")"
sleep 1.5  # the state is saved within a second of the last job
state="/var/lib/$APP/$APP.state"
[ "$(stat -c '%U %a' "$state")" = "$USER_NAME 600" ] || fail "state file: $(stat -c '%U %a' "$state")"
echo "ok - the app runs as $USER_NAME with the unit's options; a member of $ADMIN_GROUP, not root, sets it up through $LINK and signs in on the web page; nobody prints"

# ---- Receipts queued behind a printer that reads nothing, through a stop -----
# Ten receipts to a printer that takes the connection and reads nothing:
# none completes. The service is stopped (SIGTERM, as systemd stops it),
# the printer made healthy, the service started again: all ten come out
# once, in order.
tests=$(cd "$(dirname "$0")/../app/tests" && pwd)
mkdir -p "$work/stalled" "$work/healthy" "$work/r"
kitchen_port=$(free_port) || fail "no free port"
python3 "$tests/tcp_sink.py" "$work/stalled" --port "$kitchen_port" --stall &
stalled_pid=$!
wait_port "$kitchen_port" "$stalled_pid" || fail "the stalled printer did not start"
runuser -u "$MEMBER" -- "$APP" add -d kitchen -m qmx415u -v "socket://127.0.0.1:$kitchen_port" >"$work/add.log" 2>&1 ||
  fail "add the kitchen printer: $(cat "$work/add.log")"
python3 "$tests/receipts.py" make "$work/r" 1 10 400 || fail "receipts"
chmod 0644 "$work"/r/*.pbm
for n in $(seq 10); do
  runuser -u nobody -- "$APP" submit -u "ipp://localhost:$port/ipp/print/kitchen" \
    "$(printf '%s/r/receipt-%06d.pbm' "$work" "$n")" >/dev/null || fail "receipt $n refused"
done
sleep 2
[ "$(grep -c '\] Completed' "$work/app.log")" = 1 ] || fail "a receipt completed on a printer that reads nothing"
started=$(date +%s%N)
kill -TERM "$app_pid"
wait "$app_pid" 2>/dev/null
app_pid=""
stop_ms=$((($(date +%s%N) - started) / 1000000))
[ "$stop_ms" -lt 5000 ] || fail "the service took $stop_ms ms to stop"
kill -KILL "$stalled_pid"
wait "$stalled_pid" 2>/dev/null
python3 "$tests/tcp_sink.py" "$work/healthy" --port "$kitchen_port" &
healthy_pid=$!
wait_port "$kitchen_port" "$healthy_pid" || fail "the healthy printer did not start"
# shellcheck disable=SC2086  # the unit's words
(umask 0077 && exec setpriv --reuid="$USER_NAME" --regid="$USER_NAME" --init-groups --no-new-privs \
  --inh-caps=-all --bounding-set=-all env -i HOME="$home" TMPDIR="$work/tmp" PATH=/usr/bin:/bin \
  $exec_start -o server-port="$port") >"$work/app2.log" 2>&1 &
app_pid=$!
wait_port "$port" "$app_pid" || fail "the app did not start again: $(tail -5 "$work/app2.log")"
for _ in $(seq 300); do
  [ "$(find "$work/healthy" -name 'conn-*.prn' | wc -l)" -ge 10 ] && break
  sleep 0.1
done
printed=$(python3 "$tests/receipts.py" read /usr/bin/qmx415u-decode $(find "$work/healthy" -name 'conn-*.prn' | sort) |
  tr '\n' ' ' | sed 's/ $//')
[ "$printed" = "1 2 3 4 5 6 7 8 9 10" ] || fail "after the restart the printer printed: $printed"
kill "$healthy_pid"
wait "$healthy_pid" 2>/dev/null
echo "ok - 10 receipts queued behind a printer that reads nothing: none completed, the service stopped in $stop_ms ms, and after a start with the printer healthy all 10 came out once, in order"
kill -TERM "$app_pid"
wait "$app_pid" 2>/dev/null
app_pid=""

# ---- Purge --------------------------------------------------------------------
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q "$PACKAGE" >"$work/apt.log" 2>&1 ||
  fail "apt-get purge: $(tail -5 "$work/apt.log")"
getent passwd "$USER_NAME" >/dev/null && fail "user $USER_NAME left"
getent group "$USER_NAME" >/dev/null && fail "group $USER_NAME left"
for f in "$UNIT" "$RULE" "$PAM" "$LINK" "/var/lib/$APP" "/var/cache/$APP" "/run/$APP" $spool /usr/bin/$APP \
  "/etc/systemd/system/multi-user.target.wants/$APP.service" "/etc/systemd/system/$APP.service"; do
  [ -e "$f" ] || [ -L "$f" ] && fail "$f left"
done
left=$(find /var/lib/systemd -name "*$APP*" 2>/dev/null)
[ -z "$left" ] || fail "left: $left"
echo "ok - purged: no user, group, unit, rule, PAM service, link, state or unit records left"
echo "deb_install_test: all passed"
