#!/usr/bin/env bash
# Every control on the web pages changes what prints or what the printer
# reports (app/tests/controls_test.py, a table over the controls), on a
# server run by root, whose PAM checks the passwords of a group of the
# test's own. Root only (users and groups of its own); otherwise a skip.
#
# usage: controls_test.sh BIN_DIR
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/app_env.sh" "${1:?bin folder}"
D=$APP_DIR
app_needs_root "users and groups of its own"
app_admin || fail "a group and a member of it"  # made admin group by a row of the table
app_start || fail "server"
PASSWORD="web-$RANDOM$RANDOM"
printf '%s\n' "$PASSWORD" | app passwd >/dev/null || fail "passwd"
sink_start a || fail "sink a"
app add -d p -m qmx415u -v "socket://127.0.0.1:$SINK_PORT" >/dev/null || fail "add printer"
sink_start b || fail "sink b"

# A picture a control of each kind changes: wider than tall (orientation),
# narrower than the head (scaling), blank rows above, between and below its
# print (blank ends and runs).
python3 - "$D/picture.png" <<'PY'
import struct, sys, zlib
width, height = 300, 200
rows = []
for y in range(height):
    inked = 20 <= y < 60 or 140 <= y < 180
    rows.append(b"\0" + bytes(0 if inked and (x // 10 + y // 10) % 2 == 0 else 255 for x in range(width)))
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
open(sys.argv[1], "wb").write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
    + chunk(b"pHYs", struct.pack(">IIB", 7992, 7992, 1)) + chunk(b"IDAT", zlib.compress(b"".join(rows)))
    + chunk(b"IEND", b""))
PY
for op in Get-System-Attributes:get-system Get-Printers:get-printers; do
  printf '{\n\tOPERATION %s\n\tGROUP operation-attributes-tag\n\tATTR charset attributes-charset utf-8\n%s\n}\n' \
    "${op%%:*}" $'\tATTR naturalLanguage attributes-natural-language en\n\tATTR uri system-uri $uri\n\tATTR name requesting-user-name $user\n\tSTATUS successful-ok' \
    >"$D/${op##*:}.test"
done
printf '{\n\tOPERATION Get-Printer-Attributes\n\tGROUP operation-attributes-tag\n%s\n}\n' \
  $'\tATTR charset attributes-charset utf-8\n\tATTR naturalLanguage attributes-natural-language en\n\tATTR uri printer-uri $uri\n\tATTR keyword requested-attributes $names\n\tSTATUS successful-ok' \
  >"$D/get-printer.test"
APP_CLI="$D/$APP_NAME" python3 "$HERE/controls_test.py" "$APP_BIN_DIR" "$APP_PORT" "$D" "$PASSWORD" "$APP_ADMIN_USER" "$APP_ADMIN_PASSWORD" \
  "$APP_ADMIN_GROUP" || fail "a control"
echo "controls_test: all passed"
