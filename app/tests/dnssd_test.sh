#!/usr/bin/env bash
# Printers announced on DNS-SD while the server runs, as a CUPS host finds
# them. In a mount and network namespace of the test's own (a tmpfs on
# /run, and on /etc/cups/ssl, where a server run by root keeps its TLS
# key): a system bus, avahi on loopback (with multicast), the server, a
# private cupsd, each stopped by its process id; the namespace's files go
# with it.
#
# - A printer added while the server runs, by `add` (the local socket),
#   by IPP Create-Printer and by the web page's add-printer form, is found
#   by ippfind (_ipp._tcp and _ipps._tcp) within seconds; driverless lists
#   it, a CUPS queue made from that (lpadmin -m everywhere) prints a
#   picture through it to a network printer on loopback, and the bytes
#   decode.
# - A printer renamed on its web page is found under its new name only; one
#   deleted there is found no more.
# - The machine's name on mDNS stays as it was (a server run by root names
#   itself "localhost").
#
# Root only (namespaces, a user of its own); otherwise a skip.
#
# usage: dnssd_test.sh BIN_DIR
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)

if [ -z "${QMX_DNSSD_INSIDE:-}" ]; then
  TMPDIR_GIVEN=${TMPDIR:-/tmp}  # for the namespace's own folder, which other users reach
  source "$HERE/app_env.sh" "${1:?bin folder}"
  app_needs_root "a mount and network namespace, a user of its own"
  unshare --mount --net true 2>/dev/null || { echo "skip - unshare --mount --net is not allowed here"; exit 77; }
  for tool in dbus-daemon avahi-daemon avahi-browse avahi-resolve ippfind driverless /usr/sbin/cupsd; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/install-deps)"
  done
  TMPDIR=$TMPDIR_GIVEN QMX_DNSSD_INSIDE=1 unshare --mount --net bash "$0" "$@"
  exit $?
fi

source "$HERE/app_env.sh" "${1:?bin folder}"
CUPSD_NO_TRAP=1  # app_env's exit trap stops it
source "$HERE/../../cups/tests/private-cupsd"
BIN=$APP_BIN_DIR
D=$APP_DIR
FOUND_WITHIN=10  # seconds from a change to what ippfind sees

# ---- The namespace: /run of its own, loopback, the system bus, avahi --------------
# (unshare made its mounts private: nothing below is seen outside.)
[ "$(readlink /proc/self/ns/mnt)" != "$(readlink /proc/1/ns/mnt)" ] || fail "not in a mount namespace of its own"
mount -t tmpfs -o mode=0755 tmpfs /run || fail "a /run of the test's own"
[ -d /etc/cups/ssl ] && { mount -t tmpfs -o mode=0755 tmpfs /etc/cups/ssl || fail "an /etc/cups/ssl of the test's own"; }
mkdir -p /run/dbus /run/avahi-daemon
ip link set lo up && ip link set lo multicast on || fail "loopback"
dbus-daemon --system --nofork --nopidfile >"$D/dbus.log" 2>&1 &
app_on_exit "kill $! 2>/dev/null; wait $! 2>/dev/null"
for _ in $(seq 100); do [ -S /run/dbus/system_bus_socket ] && break; sleep 0.05; done
[ -S /run/dbus/system_bus_socket ] || fail "the system bus did not start: $(cat "$D/dbus.log")"
avahi-daemon --no-drop-root --no-chroot --no-rlimits >"$D/avahi.log" 2>&1 &
app_on_exit "kill $! 2>/dev/null; wait $! 2>/dev/null"
for _ in $(seq 100); do
  MDNS_HOST=$(avahi-resolve --address 127.0.0.1 2>/dev/null | cut -f2)
  [ -n "$MDNS_HOST" ] && break
  sleep 0.1
done
[ -n "$MDNS_HOST" ] || fail "avahi did not start: $(cat "$D/avahi.log")"
export HOME="$D"  # what clients keep (TLS trust) stays in the test's folder

# ---- The server, administered by a user of the test's own -----------------------
app_admin || fail "admin group and user"
chmod 0711 "$D"  # Create-Printer's request file, read by nobody's ipptool
SIGN_IN="$APP_ADMIN_USER:$APP_ADMIN_PASSWORD"
app_start -o admin-group="$APP_ADMIN_GROUP" || fail "server"
# The server's own record settles (PAPPL announces the server again under
# avahi's host name) before printers come.
# (Listings are read whole before grep: under pipefail, grep -q ending
# early would fail the pipe.)
for _ in $(seq 100); do
  grep -q "^=.*;$APP_PORT;" <<<"$(avahi-browse -rpt _ipps-system._tcp 2>/dev/null)" && break
  sleep 0.1
done
grep -q "^=.*;$APP_PORT;" <<<"$(avahi-browse -rpt _ipps-system._tcp 2>/dev/null)" || fail "the server is not on DNS-SD"
now_host=$(avahi-resolve --address 127.0.0.1 2>/dev/null | cut -f2)
[ "$now_host" = "$MDNS_HOST" ] || fail "the server renamed the machine on mDNS: $MDNS_HOST became $now_host"
echo "ok - the server is on DNS-SD, the machine keeps its mDNS name ($MDNS_HOST)"
# The server makes its TLS certificate at the first TLS connections, one
# for each that comes before the file is written, and CUPS then refuses
# the one it did not see first: one connection, alone, makes it.
curl -sk -o /dev/null "https://localhost:$APP_PORT/" || fail "a TLS connection to the server"

# on_dns_sd: "NAME URI" for each IPP service ippfind finds and resolves.
on_dns_sd() {
  ippfind -T 1 _ipp._tcp _ipps._tcp -x echo '{service_name}' '{service_uri}' \; 2>/dev/null | sort -u
}
# expect_found NAME...: each NAME under ipp and ipps within FOUND_WITHIN seconds.
expect_found() {
  local seen name missing deadline=$((SECONDS + FOUND_WITHIN))
  while :; do
    seen=$(on_dns_sd)
    missing=""
    for name in "$@"; do
      grep -q "^$name ipp://" <<<"$seen" && grep -q "^$name ipps://" <<<"$seen" || missing+=" $name"
    done
    [ -z "$missing" ] && return 0
    [ $SECONDS -lt $deadline ] ||
      fail "not on DNS-SD $FOUND_WITHIN s after the change:$missing (ippfind: $(tr '\n' ',' <<<"$seen"))"
  done
}
# listed NAME: whether an IPP record of NAME is on DNS-SD, as avahi lists
# them (quicker than ippfind, which waits to resolve what it finds).
listed() {
  grep -q "^+;[^;]*;[^;]*;$1;" <<<"$(avahi-browse -pt _ipp._tcp 2>/dev/null; avahi-browse -pt _ipps._tcp 2>/dev/null)"
}
# expect_gone NAME: no IPP record of NAME within FOUND_WITHIN seconds.
expect_gone() {
  local deadline=$((SECONDS + FOUND_WITHIN))
  while listed "$1"; do
    [ $SECONDS -lt $deadline ] || fail "$1 is still on DNS-SD $FOUND_WITHIN s after the change"
    sleep 0.2
  done
}

# form PATH FIELD=VALUE...: posts a web page's form as a browser does,
# with the session value from the page; prints the HTTP status.
form() {
  local path=$1 session
  shift
  curl -s -u "$SIGN_IN" -c "$D/cookies" -o "$D/page.html" "http://localhost:$APP_PORT/$path" || return 1
  session=$(sed -n 's/.*name="session" value="\([^"]*\)".*/\1/p' "$D/page.html" | head -1)
  local fields=(--data-urlencode "session=$session")
  for field in "$@"; do fields+=(--data-urlencode "$field"); done
  curl -s -u "$SIGN_IN" -b "$D/cookies" -o "$D/answer.html" -w '%{http_code}' "${fields[@]}" \
    "http://localhost:$APP_PORT/$path"
}

# ---- A printer by each route, each on a network printer of its own -----------
#        name         how
ROUTES=("by-cli       add"
        "by-ipp       create-printer"
        "by-web       add-printer-form")
for route in "${ROUTES[@]}"; do
  read -r name how <<<"$route"
  sink_start "$name" || fail "sink"
  device="socket://127.0.0.1:$SINK_PORT"
  case $how in
    add) app add -d "$name" -m qmx415u -v "$device" >/dev/null || fail "add $name" ;;
    create-printer)
      status=$(app_create_printer nobody "ipp://$SIGN_IN@localhost:$APP_PORT/ipp/system" "$name" "$device")
      [ "$status" = successful-ok ] || fail "Create-Printer $name: $status" ;;
    add-printer-form)
      status=$(form addprinter "printer_name=$name" driver_name=qmx415u device_uri=socket \
        "hostname=127.0.0.1:$SINK_PORT")
      [ "$status" = 302 ] || fail "the add-printer form answered $status" ;;
  esac
done
expect_found by-cli by-ipp by-web
echo "ok - printers added by add, Create-Printer and the add-printer form are on DNS-SD within $FOUND_WITHIN s"

# ---- CUPS finds them and prints through them -----------------------------------
cupsd_start || fail "cupsd"
app_on_exit cupsd_stop
driverless >"$D/driverless.txt" 2>"$D/driverless.err" || fail "driverless: $(cat "$D/driverless.err")"
"$BIN/qmx415u-sample" receipt "$D/receipt.png" || fail "sample"
for route in "${ROUTES[@]}"; do
  read -r name how <<<"$route"
  uri=$(grep -m1 "^ipps\?://$name\._" "$D/driverless.txt") || fail "driverless does not list $name: $(cat "$D/driverless.txt")"
  lpadmin -p "$name" -E -v "$uri" -m everywhere && cupsd_wait_ready "$name" 30 || fail "lpadmin -m everywhere on $uri"
  id=$(cupsd_print "$name" "$D/receipt.png")
  cupsd_wait_job "$id" 60 || fail "the job through $uri"
  sink_wait "$name" 1 || fail "nothing reached $name's printer"
  for f in "$D/$name"/conn-*.prn; do
    "$BIN/qmx415u-decode" "$f" >"$D/decoded.txt" || fail "$f does not decode: $(tail -1 "$D/decoded.txt")"
    lines=$(sed -n 's/^raster blocks: \([0-9]*\) lines.*/\1/p' "$D/decoded.txt")
    [ "${lines:-0}" -gt 100 ] || fail "$f holds almost nothing: $(cat "$D/decoded.txt")"
  done
  echo "ok - a CUPS queue on $uri ($how) prints, and the bytes decode"
done

# ---- Renamed on its web page, deleted -----------------------------------------------
status=$(form by-web/config dns_sd_name=counter)
[ "$status" = 200 ] && grep -q "Changes saved" "$D/answer.html" || fail "the configuration form answered $status"
expect_found counter
expect_gone by-web
echo "ok - a renamed printer is on DNS-SD under its new name only"
# (On its web page: PAPPL 1.3 reports printer-id 0 for a printer added
# while the server runs, which `delete` needs.)
status=$(form by-ipp/delete)
[ "$status" = 302 ] || fail "the delete form answered $status"
expect_gone by-ipp
listed by-cli && listed counter || fail "deleting by-ipp took others off DNS-SD"
echo "ok - a deleted printer is gone from DNS-SD, the others stay"
echo "dnssd_test: all passed"
