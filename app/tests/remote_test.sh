#!/usr/bin/env bash
# Administration from the network. The server listens on every address
# (listen-hostname=*) inside a network namespace of the test's own, joined
# by a veth pair to a second one, where the "remote" clients run; nothing
# listens outside the two. The server runs as a user of the test's own,
# who administers it with their password (as the server's user); its TLS
# key lands in the test's folder.
#
# - remote-admin off (the default): Create-Printer and the config page
#   from the other namespace are refused, with the right password too,
#   plain or over TLS; from loopback the password suffices.
# - remote-admin=true: from the other namespace they need the password
#   (over TLS), and a device outside the folder is still refused.
# - Printing from the other namespace needs no password either way.
#
# Root only (namespaces, a user); otherwise a skip.
#
# usage: remote_test.sh BIN_DIR
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/app_env.sh" "${1:?bin folder}"
BIN=$APP_BIN_DIR
D=$APP_DIR
app_needs_root "network namespaces, a user of its own"
SERVER_ADDRESS=192.0.2.1  # TEST-NET-1, inside the test's namespaces only
CLIENT_ADDRESS=192.0.2.2
PREFIX=24

# ---- Two namespaces and a veth pair, gone with their holders -----------------
unshare --net sleep infinity &
SERVER_NS=$!
unshare --net sleep infinity &
CLIENT_NS=$!
app_on_exit "kill $SERVER_NS $CLIENT_NS 2>/dev/null"
in_server_ns() { nsenter --net="/proc/$SERVER_NS/ns/net" "$@"; }
in_client_ns() { nsenter --net="/proc/$CLIENT_NS/ns/net" "$@"; }
for _ in $(seq 50); do
  [ "$(readlink /proc/$SERVER_NS/ns/net)" != "$(readlink /proc/$$/ns/net)" ] &&
    [ "$(readlink /proc/$CLIENT_NS/ns/net)" != "$(readlink /proc/$$/ns/net)" ] && break
  sleep 0.05
done
VETH="qs$$"
PEER="qc$$"
ip link add "$VETH" type veth peer name "$PEER" || fail "veth pair"
app_on_exit "ip link del $VETH 2>/dev/null"  # should it not have reached a namespace
ip link set "$VETH" netns "$SERVER_NS" && ip link set "$PEER" netns "$CLIENT_NS" || fail "veth into the namespaces"
in_server_ns sh -c "ip link set lo up && ip addr add $SERVER_ADDRESS/$PREFIX dev $VETH && ip link set $VETH up" ||
  fail "server namespace"
in_client_ns sh -c "ip link set lo up && ip addr add $CLIENT_ADDRESS/$PREFIX dev $PEER && ip link set $PEER up" ||
  fail "client namespace"

# ---- The server, as a user of the test's own ----------------------------------
app_admin || fail "user"
OWNER=$APP_ADMIN_USER
SIGN_IN="$OWNER:$APP_ADMIN_PASSWORD"
S="$D/server"
mkdir -p "$S/home" "$S/tmp" "$S/files/jobs" "$D/client"
chown -R "$OWNER" "$S"
: >"$D/log"
chown "$OWNER" "$D/log"
chmod 0711 "$D"
chmod 0777 "$D/client"
PORT=$(app_free_port) || fail "no free port"
as_owner() { setpriv --reuid="$OWNER" --regid="$APP_ADMIN_GROUP" --init-groups env HOME="$S/home" TMPDIR="$S/tmp" "$@"; }

start_server() {  # server options...
  nsenter --net="/proc/$SERVER_NS/ns/net" setpriv --reuid="$OWNER" --regid="$APP_ADMIN_GROUP" --init-groups \
    env HOME="$S/home" TMPDIR="$S/tmp" "$D/$APP_NAME" server -o listen-hostname='*' -o server-port="$PORT" \
    -o state-file="$S/state" -o spool-directory="$S/spool" -o log-file="$D/log" -o file-device-folder="$S/files" \
    "$@" >>"$D/stdout" 2>&1 &
  APP_PID=$!
  for _ in $(seq 100); do
    kill -0 "$APP_PID" 2>/dev/null || fail "the server died: $(tail -3 "$D/stdout")"
    in_server_ns bash -c "exec 3<>/dev/tcp/127.0.0.1/$PORT" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "the server did not start"
}

export APP_CLIENT_HOME="$D/client"  # whatever the clients keep (TLS trust) stays in the test's folder
remote_create() {  # SCHEME SIGN-IN NAME DEVICE
  APP_CLIENT_WRAP="in_client_ns" app_create_printer nobody "$1://$2$SERVER_ADDRESS:$PORT/ipp/system" "$3" "$4"
}
expect_create() {  # WHAT EXPECTED SCHEME SIGN-IN NAME DEVICE
  local what=$1 expected=$2 got
  shift 2
  got=$(remote_create "$@")
  [ "$got" = "$expected" ] || fail "$what: $got, not $expected"
}
web() {  # WHERE URL [curl options]: prints the HTTP status
  local where=$1 url=$2
  shift 2
  "$where" curl -sk -o /dev/null -w '%{http_code}' "$@" "$url"
}
# An administration page (one that lists no devices, which takes a while).
remote_page="https://$SERVER_ADDRESS:$PORT/config"
loopback_page="http://127.0.0.1:$PORT/config"

"$BIN/qmx415u-sample" receipt "$D/receipt.png"
JOBS=0
remote_print() {
  JOBS=$((JOBS + 1))
  in_client_ns ipptool -f "$D/receipt.png" "ipps://$SERVER_ADDRESS:$PORT/ipp/print/rp" \
    /usr/share/cups/ipptool/print-job.test >"$D/ipptool.out" 2>&1 || fail "remote Print-Job: $(cat "$D/ipptool.out")"
  for _ in $(seq 200); do
    [ "$(grep -c "\] Completed" "$D/log")" -ge "$JOBS" ] && return 0
    sleep 0.05
  done
  fail "remote job $JOBS did not complete"
}

# ---- remote-admin off -----------------------------------------------------------
start_server
as_owner "$D/$APP_NAME" add -d rp -m qmx415u -v "prnfile://$S/files/jobs/" >/dev/null ||
  fail "the server's user cannot add a printer through the local socket"
expect_create "remote Create-Printer, signed in" client-error-forbidden ipp "$SIGN_IN@" r1 "prnfile://$S/files/r1.prn"
expect_create "remote Create-Printer over TLS, signed in" client-error-forbidden ipps "$SIGN_IN@" r1 \
  "prnfile://$S/files/r1.prn"
[ "$(web in_client_ns "$remote_page" -u "$SIGN_IN")" = 403 ] || fail "remote config page, signed in"
[ "$(web in_server_ns "$loopback_page")" = 401 ] || fail "loopback config page without a password"
[ "$(web in_server_ns "$loopback_page" -u "$SIGN_IN")" = 200 ] || fail "loopback config page, signed in"
echo "ok - remote-admin off: no administration from the network, even with the password"
remote_print
echo "ok - printing from the network needs no password"

# ---- remote-admin=true --------------------------------------------------------
app_stop
start_server -o remote-admin=true
expect_create "remote Create-Printer without a password" client-error-not-authenticated ipps "" r2 \
  "prnfile://$S/files/r2.prn"
[ "$(web in_client_ns "$remote_page" -u "$OWNER:wrong")" = 401 ] || fail "remote config page, wrong password"
[ "$(web in_client_ns "${remote_page/https/http}" -u "$SIGN_IN")" != 200 ] || fail "config page without TLS"
expect_create "remote Create-Printer outside the folder" client-error-attributes-or-values-not-supported ipps \
  "$SIGN_IN@" r3 "prnfile://$D/elsewhere.prn"
expect_create "remote Create-Printer, signed in" successful-ok ipps "$SIGN_IN@" r4 "prnfile://$S/files/r4.prn"
[ "$(web in_client_ns "$remote_page" -u "$SIGN_IN")" = 200 ] || fail "remote config page, signed in"
echo "ok - remote-admin=true: administration from the network over TLS with the password"
remote_print
echo "remote_test: all passed"
