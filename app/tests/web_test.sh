#!/usr/bin/env bash
# The web page PAPPL serves, seen by a headless browser (Debian's
# chromium): the printer's status page and its printing defaults load,
# name the printer and show this printer's options with their factory
# values; the add-printer page loads (it lists devices) and its form adds
# a network printer (socket://) that then prints. Screenshots go to OUT_DIR
# (the README's picture is one).
#
# The printing defaults are administration: the browser signs in as a
# member of an admin group of the test's own, which only root can make
# (else that page is skipped, and the test reports a skip).
#
# usage: web_test.sh BIN_DIR OUT_DIR
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/app_env.sh" "${1:?bin folder}"
OUT=${2:?screenshot folder}
D=$APP_DIR
mkdir -p "$OUT"

command -v chromium >/dev/null || fail "chromium is not installed (scripts/install-deps)"
SIGN_IN=""
if app_admin; then
  SIGN_IN="$APP_ADMIN_USER:$APP_ADMIN_PASSWORD@"
  app_start -o admin-group="$APP_ADMIN_GROUP" || fail "server"
else
  app_start || fail "server"
fi
sink_start out || fail "sink"
app add -d receipt -m qmx415u -v "socket://127.0.0.1:$SINK_PORT" >/dev/null || fail "add printer"

# browser URL WHAT...: a fresh profile each time, no network but loopback.
browser() {
  local url=$1
  shift
  local profile
  profile=$(mktemp -d "$D/chromium.XXXXXX")
  timeout 90 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync --disable-extensions \
    --user-data-dir="$profile" --window-size=1000,1200 "$@" "$url" 2>>"$D/chromium.log"
}

page() {  # NAME PATH [SIGN-IN]
  local name=$1 path=$2 url="http://${3:-}localhost:$APP_PORT/$2"
  browser "$url" --dump-dom >"$D/$name.html" || fail "$name: the browser failed: $(tail -3 "$D/chromium.log")"
  browser "$url" --screenshot="$OUT/$name.png" >/dev/null || fail "$name: no screenshot"
  [ -s "$OUT/$name.png" ] || fail "$name: empty screenshot"
}

expect_in() {  # NAME TEXT
  grep -qF "$2" "$D/$1.html" || fail "$1 page: no '$2'"
}

page status receipt
expect_in status "receipt"
expect_in status "QMX415U 80 mm thermal receipt printer"
expect_in status "Printing Defaults"
echo "ok - status page names the printer"

if [ -z "$SIGN_IN" ]; then
  echo "skip - printing defaults page: no admin user (not root)"
  exit 77
fi
page printing-defaults receipt/printing "$SIGN_IN"
expect_in printing-defaults "receipt"
expect_in printing-defaults "Top margin of every page"
expect_in printing-defaults 'name="top-margin"'
expect_in printing-defaults "After the last page"
expect_in printing-defaults "Shorten blank runs"
echo "ok - printing defaults page shows the printer's options"

# The add-printer form, as a browser posts it: the session value from the
# page, a network printer by host and port.
page add-printer addprinter "$SIGN_IN"
expect_in add-printer 'value="socket"'
curl -s -u "$APP_ADMIN_USER:$APP_ADMIN_PASSWORD" -c "$D/cookies" -o "$D/add.html" \
  "http://localhost:$APP_PORT/addprinter" || fail "add-printer page"
session=$(sed -n 's/.*name="session" value="\([^"]*\)".*/\1/p' "$D/add.html" | head -1)
[ -n "$session" ] || fail "the add-printer page has no form session"
status=$(curl -s -u "$APP_ADMIN_USER:$APP_ADMIN_PASSWORD" -b "$D/cookies" -o "$D/added.html" -w '%{http_code}' --data-urlencode "session=$session" \
  --data-urlencode "printer_name=counter" --data-urlencode "driver_name=qmx415u" \
  --data-urlencode "device_uri=socket" --data-urlencode "hostname=127.0.0.1:$SINK_PORT" \
  "http://localhost:$APP_PORT/addprinter")
[ "$status" = 302 ] || fail "the add-printer form answered $status: $(grep -o 'class="banner">[^<]*' "$D/added.html")"
"$APP_BIN_DIR/qmx415u-sample" receipt "$D/receipt.pbm"
"$APP_BIN_DIR/qmx415u-make-raster" --format pwg --grey --width 639 --left 32 -o "$D/receipt.pwg" "$D/receipt.pbm"
"$APP_BIN_DIR/qmx415u-print" --quiet -o "$D/receipt.prn" "$D/receipt.pbm"
ipptool -f "$D/receipt.pwg" "ipp://localhost:$APP_PORT/ipp/print/counter" /usr/share/cups/ipptool/print-job.test \
  >/dev/null 2>&1 || fail "the printer the form added does not take jobs"
sink_wait out 1 || fail "the printer the form added printed nothing"
cmp -s "$D/out/conn-000001.prn" "$D/receipt.prn" || fail "the printer the form added printed something else"
echo "ok - the add-printer page lists devices, and its form adds a socket:// printer that prints"
echo "web_test: screenshots in $OUT; all passed"
