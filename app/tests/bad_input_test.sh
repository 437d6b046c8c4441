#!/usr/bin/env bash
# Bad input: random bytes to the IPP port, a garbage IPP request,
# documents the printer does not print (text, PDF, random bytes sent as
# application/octet-stream), Print-Jobs of truncated and absurd PWG raster
# (huge width or height, a resolution the head does not have), and hostile
# pictures (a 100,000 x 100,000 header, a decompression bomb, cut short,
# empty). The server answers with an error or closes that connection and
# keeps serving; a format it does not print is refused at Print-Job
# (client-error-document-format-not-supported); each bad document ends its
# job aborted with a reason, within seconds, while other jobs print; every
# stream that reached the printer still decodes; a good job afterwards
# prints whole.
#
# usage: bad_input_test.sh BIN_DIR
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/app_env.sh" "${1:?bin folder}"
BIN=$APP_BIN_DIR
D=$APP_DIR
URI_BASE="ipp://localhost"
RANDOM_CONNECTIONS=20

# Random bytes make the server try TLS, and a root server's certificate
# would land in CUPS' own folder.
app_private_tls
app_start || fail "server"
sink_start jobs || fail "sink"
app add -d rp -m qmx415u -v "socket://127.0.0.1:$SINK_PORT" >/dev/null || fail "add printer"
app add -d slow -m qmx415u -v "socket://127.0.0.1:$SINK_PORT" >/dev/null || fail "add printer"
PRINTER="$URI_BASE:$APP_PORT/ipp/print/rp"

"$BIN/qmx415u-sample" receipt "$D/receipt.pbm"
"$BIN/qmx415u-make-raster" --format pwg --grey --width 639 --left 32 -o "$D/good.pwg" "$D/receipt.pbm"
"$BIN/qmx415u-make-raster" --format pwg --grey --resolution 300 -o "$D/300dpi.pwg" "$D/receipt.pbm"
"$BIN/qmx415u-print" --quiet -o "$D/good.prn" "$D/receipt.pbm"

# The first page header's fields, big-endian after the 4-byte sync word.
patch_header() {  # IN OUT WIDTH HEIGHT BYTES_PER_LINE
  python3 - "$@" <<'EOF'
import struct, sys
src, dst, width, height, bpl = sys.argv[1], sys.argv[2], *map(int, sys.argv[3:])
d = bytearray(open(src, "rb").read())
assert d[:4] == b"RaS2"
d[376:384] = struct.pack(">II", width, height)
d[396:400] = struct.pack(">I", bpl)
open(dst, "wb").write(d)
EOF
}
patch_header "$D/good.pwg" "$D/wide.pwg" 100000 654 100000
patch_header "$D/good.pwg" "$D/tall.pwg" 639 4000000 639
patch_header "$D/good.pwg" "$D/zero.pwg" 0 654 639
head -c 1000 "$D/good.pwg" >"$D/cut-in-header.pwg"
head -c 5000 "$D/good.pwg" >"$D/cut-in-data.pwg"

serving() {
  ipptool -q "$PRINTER" /usr/share/cups/ipptool/get-printer-attributes.test || fail "the server stopped serving ($1)"
}

# ---- Random bytes, and a garbage IPP request --------------------------------
for i in $(seq $RANDOM_CONNECTIONS); do
  timeout 5 bash -c "head -c $((i * 997)) /dev/urandom >/dev/tcp/127.0.0.1/$APP_PORT" 2>/dev/null
done
serving "random bytes"
head -c 3000 /dev/urandom >"$D/garbage.ipp"
status=$(curl -s -o /dev/null -w '%{http_code}' --max-time 10 -H 'Content-Type: application/ipp' \
  --data-binary @"$D/garbage.ipp" "http://localhost:$APP_PORT/ipp/print/rp")
[ "$status" = 400 ] || [ "$status" = 000 ] || echo "note: garbage IPP request answered HTTP $status"
serving "garbage IPP request"
echo "ok - random bytes ($RANDOM_CONNECTIONS connections) and a garbage IPP request: the server keeps serving"

# ---- Formats the printer does not print --------------------------------------
# refused_format FILE FORMAT: Print-Job answers
# client-error-document-format-not-supported; no job is made.
cat >"$D/format.test" <<'END'
{
	OPERATION Print-Job
	GROUP operation-attributes-tag
	ATTR charset attributes-charset utf-8
	ATTR naturalLanguage attributes-natural-language en
	ATTR uri printer-uri $uri
	ATTR name requesting-user-name $user
	ATTR mimeMediaType document-format $format
	FILE $filename
	STATUS client-error-document-format-not-supported
}
END
refused_format() {
  ipptool -t -d format="$2" -f "$1" "$PRINTER" "$D/format.test" >"$D/format.out" 2>&1 ||
    fail "$2 ($(basename "$1")) was not refused as a format the printer does not print: $(grep -m1 status "$D/format.out")"
  serving "$2"
}
printf 'Hello, printer\n' >"$D/hello.txt"
printf '%%PDF-1.4\n%%%%EOF\n' >"$D/tiny.pdf"
head -c 3000 /dev/urandom >"$D/random.bin"
refused_format "$D/hello.txt" text/plain
refused_format "$D/hello.txt" application/octet-stream
refused_format "$D/tiny.pdf" application/pdf
refused_format "$D/random.bin" application/octet-stream
[ -z "$(find "$D/state.queue" -name '*.doc')" ] || fail "a refused document was kept"
echo "ok - text, PDF and random bytes are refused at Print-Job as formats the printer does not print"

# ---- Bad PWG raster ---------------------------------------------------------
# Cut inside the page data, on a printer of its own.
ipptool -f "$D/cut-in-data.pwg" "$URI_BASE:$APP_PORT/ipp/print/slow" /usr/share/cups/ipptool/print-job.test \
  >/dev/null 2>&1 &
cut_pid=$!
app_on_exit "kill $cut_pid 2>/dev/null"
for bad in wide tall zero 300dpi cut-in-header; do
  ipptool -f "$D/$bad.pwg" "$PRINTER" /usr/share/cups/ipptool/print-job.test >"$D/$bad.out" 2>&1
  serving "$bad PWG"
done
# ---- A good job afterwards, then every output decodes -----------------------
ipptool -f "$D/good.pwg" "$PRINTER" /usr/share/cups/ipptool/print-job.test >/dev/null || fail "good job refused"
for _ in $(seq 900); do
  kill -0 $cut_pid 2>/dev/null || break
  sleep 0.1
done
for _ in $(seq 100); do
  grep -qE "\[Job [0-9]+\] Completed" "$D/log" && ! kill -0 $cut_pid 2>/dev/null && break
  sleep 0.1
done
# Each bad document's job: aborted, with a reason (job ids are per printer).
expect_refused() {  # PRINTER JOB-ID NAME LOG-TEXT
  local state reasons
  state=$(job_state "$1" "$2")
  reasons=$(job_reasons "$1" "$2")
  [ "$state" = aborted ] || fail "the $3 document's job ended $state"
  [[ "$reasons" =~ document-format-error|document-unprintable-error|aborted-by-system ]] ||
    fail "the $3 document's job was aborted without a reason: $reasons"
  [ -z "$4" ] || grep -qE "$4" "$D/log" || fail "the $3 document was refused without saying why"
  echo "ok - $3: aborted, $reasons"
}
expect_refused rp 1 "100000-dot wide" "width of 100000 dots"
expect_refused rp 2 "4000000-line tall" "4000000"
expect_refused rp 3 "zero-width" "a width of 0 dots"
expect_refused rp 4 "300 dpi" "resolution 300x300 dpi"
expect_refused rp 5 "header cut short" ""
expect_refused slow 1 "data cut short" "ends after [0-9]+ of 654 rows"

good=0
for _ in $(seq 100); do  # the printer's last connection ends
  [ -z "$(find "$D/jobs" -name '*.part')" ] && break
  sleep 0.05
done
for f in "$D"/jobs/conn-*.prn; do
  [ -e "$f" ] || continue
  "$BIN/qmx415u-decode" "$f" >"$D/decoded.txt" || fail "$f is a malformed stream: $(tail -1 "$D/decoded.txt")"
  cmp -s "$f" "$D/good.prn" && good=$((good + 1))
done
[ $good = 1 ] || fail "the good job after the bad ones did not print whole"
serving "the end"
echo "ok - every stream written decodes; the good job afterwards prints whole"
# ---- Hostile pictures --------------------------------------------------------
# Each ends aborted (document-format-error) within seconds, nothing of it
# printed, while a good job on the same printer prints after it.
python3 - "$D" <<'PY'
import struct, sys, zlib
d = sys.argv[1]
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
def png(width, height, rows):
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)) +
            chunk(b"IDAT", rows) + chunk(b"IEND", b""))
# A header of 100,000 x 100,000 grey pixels over a little data.
open(d + "/huge.png", "wb").write(png(100000, 100000, zlib.compress(b"\0" * 1000)))
# A bomb: 10000 x 10000 pixels of white (100 MB) in a few kilobytes.
rows = zlib.compressobj(9)
data = b"".join(rows.compress(b"\0" + b"\xff" * 10000) for _ in range(10000)) + rows.flush()
open(d + "/bomb.png", "wb").write(png(10000, 10000, data))
# A picture cut short in its data.
import os
whole = png(576, 2000, zlib.compress(b"".join(b"\0" + os.urandom(576) for _ in range(2000))))
open(d + "/cut.png", "wb").write(whole[:len(whole) // 2])
open(d + "/empty.png", "wb").write(b"")
PY
for bad in huge bomb cut; do
  started=$(date +%s%N)
  job=$(app_printer rp submit "$D/$bad.png") || fail "$bad.png: not accepted"
  next=$(app_printer rp submit "$D/good.pwg") || fail "a good job refused"
  for _ in $(seq 300); do
    [[ "$(job_state rp "$next")" =~ completed|aborted ]] && break
    sleep 0.05
  done
  ms=$((($(date +%s%N) - started) / 1000000))
  [ "$(job_state rp "$job")" = aborted ] || fail "$bad.png: the job ended $(job_state rp "$job")"
  [[ "$(job_reasons rp "$job")" == *document-format-error* ]] || fail "$bad.png: $(job_reasons rp "$job")"
  [ "$(job_state rp "$next")" = completed ] || fail "after $bad.png, a good job ended $(job_state rp "$next")"
  [ "$ms" -lt 15000 ] || fail "$bad.png took $ms ms"
  echo "ok - $bad.png: aborted, document-format-error, $(grep "\[Job $job\] The job failed" "$D/log" | sed 's/.*failed: //' | head -1); the next job printed; $ms ms for both"
done
# An empty document has no format to name.
ipptool -t -d format=image/png -f "$D/empty.png" "$PRINTER" "$D/format.test" >/dev/null 2>&1 ||
  ipptool -f "$D/empty.png" "$PRINTER" /usr/share/cups/ipptool/print-job.test >/dev/null 2>&1
serving "an empty picture"
echo "ok - an empty picture does not stop the server"

echo "bad_input_test: all passed"
