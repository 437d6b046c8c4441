#!/usr/bin/env bash
# Print-Job through the app as clients print — ipptool, and the app's own
# `submit` — of a PWG raster, a PNG and a JPEG, to a network printer on
# loopback (socket://, app/tests/tcp_sink.py): every stream decodes
# strictly, and is byte for byte what qmx415u-print makes of the same page
# with the same settings. Printer defaults set with `modify` apply to jobs,
# a job's own options win over them, bad values are refused, and printers
# and defaults survive a restart.
#
# Placement: the worker places a picture on the job's media (80 mm at 203
# dpi: 639 dots wide), centred, scaled as print-scaling says; a picture as
# wide as the media at 203 dpi lands dot for dot, its column 32 (the 4 mm
# margin) at the head's first dot, so the test images are page-sized with
# the picture 32 dots in, and the reference is the 576-dot picture alone.
# A job that names no media gets a page as long as its picture; one that
# names its media, a page of the media's length. A PWG raster's pages are
# printed as they are, from the media's left margin.
#
# usage: print_test.sh BIN_DIR
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/app_env.sh" "${1:?bin folder}"
BIN=$APP_BIN_DIR
D=$APP_DIR

PAGE_WIDTH=639      # 80 mm at 203 dpi
PICTURE_LEFT=32     # the 4 mm left margin
MEDIA_LINES=2373    # the default media, 297 mm, at 203 dpi
PICTURE_LINES=400
PICTURE_LENGTH=5005  # hundredths of a millimetre that PAPPL turns into 400 lines

app_start || fail "server"
sink_start jobs || fail "sink"
app add -d rp -m qmx415u -v "socket://127.0.0.1:$SINK_PORT" >/dev/null || fail "add printer"

# Every device scheme PAPPL offers is taken; USB cannot be printed to
# here (no bus), and listing devices runs clean.
app add -d usb -m qmx415u -v "usb://Generic/Receipt%20Printer?serial=T1" >/dev/null || fail "add a usb: printer"
app_local devices >"$D/devices.txt" 2>&1 || fail "devices: $(cat "$D/devices.txt")"
app_local delete -d usb 2>/dev/null || app delete -d usb >/dev/null 2>&1
echo "ok - socket: and usb: printers are taken; devices runs clean"

# ---- Pages ------------------------------------------------------------------
"$BIN/qmx415u-sample" receipt "$D/receipt.pbm"
"$BIN/qmx415u-make-raster" --format pwg --grey --width $PAGE_WIDTH --left $PICTURE_LEFT \
  -o "$D/receipt.pwg" "$D/receipt.pbm"
python3 "$HERE/make_images.py" $PAGE_WIDTH $PICTURE_LINES $PICTURE_LEFT "$D/small.png" "$D/small.pgm" \
  --crop "$D/small-picture.png"
python3 "$HERE/make_images.py" $PAGE_WIDTH $PICTURE_LINES $PICTURE_LEFT "$D/blocks.png" "$D/blocks.pgm" --blocks \
  --crop "$D/blocks-picture.png"
python3 "$HERE/make_images.py" $PAGE_WIDTH $MEDIA_LINES $PICTURE_LEFT "$D/page.png" "$D/page.pgm" \
  --crop "$D/page-picture.png"
python3 "$HERE/make_images.py" $PAGE_WIDTH $MEDIA_LINES $PICTURE_LEFT "$D/page-blocks.png" "$D/page-blocks.pgm" \
  --blocks --crop "$D/page-blocks-picture.png"
# Flat black and white 8x8 blocks at quality 100 decode exactly.
cjpeg -quality 100 -grayscale -outfile "$D/blocks.jpg" "$D/blocks.pgm"
cjpeg -quality 100 -grayscale -outfile "$D/page-blocks.jpg" "$D/page-blocks.pgm"
python3 "$HERE/make_images.py" --jpeg-dpi "$D/blocks.jpg"
python3 "$HERE/make_images.py" --jpeg-dpi "$D/page-blocks.jpg"

cat >"$D/print.test" <<'EOF'
{
	NAME "Print-Job with media-col and print-scaling"
	OPERATION Print-Job
	GROUP operation-attributes-tag
	ATTR charset attributes-charset utf-8
	ATTR naturalLanguage attributes-natural-language en
	ATTR uri printer-uri $uri
	ATTR name requesting-user-name $user
	ATTR mimeMediaType document-format $filetype
	GROUP job-attributes-tag
	ATTR keyword print-scaling none
	ATTR collection media-col {
		MEMBER collection media-size {
			MEMBER integer x-dimension 8000
			MEMBER integer y-dimension $length
		}
	}
	FILE $filename
	STATUS successful-ok
}
EOF

# ---- Checking one job -------------------------------------------------------
JOBS=0

# Waits for the server's next job to end; $OUT is what the printer read
# (the job's own connection: the device closes when no job is queued), or
# a name no file has when it printed nothing.
OUTPUTS=0
wait_job() {
  JOBS=$((JOBS + 1))
  for _ in $(seq 200); do
    if grep -Eq "\[Job $JOBS\] Completed" "$D/log"; then
      OUTPUTS=$((OUTPUTS + 1))
      sink_wait jobs $OUTPUTS || fail "job $JOBS: the printer's connection did not end"
      OUT=$(printf '%s/jobs/conn-%06d.prn' "$D" "$OUTPUTS")
      return 0
    fi
    if grep -Eq "\[Job $JOBS\] (Aborted|Canceled)" "$D/log"; then
      OUT="$D/jobs/none"
      return 0
    fi
    sleep 0.05
  done
  fail "job $JOBS did not end"
}

# expect_same NAME OUTPUT [qmx415u-print options and page]
expect_same() {
  local name=$1 output=$2
  shift 2
  "$BIN/qmx415u-print" --quiet -o "$D/ref.prn" "$@" || fail "$name: qmx415u-print"
  "$BIN/qmx415u-decode" "$output" >"$D/decoded.txt" || fail "$name: the stream does not decode: $(tail -1 "$D/decoded.txt")"
  cmp -s "$output" "$D/ref.prn" || fail "$name: the stream differs from qmx415u-print's"
  echo "ok - $name"
}

ipp_print() {  # FILE [LENGTH]
  ipptool -d length="${2:-29700}" -f "$1" "ipp://localhost:$APP_PORT/ipp/print/rp" "$D/print.test" >"$D/ipptool.out" ||
    fail "ipptool Print-Job $1: $(cat "$D/ipptool.out")"
}

# ---- Print-Job through ipptool ----------------------------------------------
ipp_print "$D/receipt.pwg"
wait_job
expect_same "ipptool PWG raster" "$OUT" "$D/receipt.pbm"
ipp_print "$D/small.png" $PICTURE_LENGTH
wait_job
expect_same "ipptool PNG" "$OUT" "$D/small-picture.png"
ipp_print "$D/blocks.jpg" $PICTURE_LENGTH
wait_job
expect_same "ipptool JPEG" "$OUT" "$D/blocks-picture.png"

# ---- qmx415u-app submit, with job options -----------------------------------
app_printer rp submit -o cut=end-of-page -o top-margin=24 "$D/receipt.pwg" >/dev/null || fail "submit PWG"
wait_job
expect_same "submit PWG raster, cut=end-of-page top-margin=24" "$OUT" \
  -O CutMedia=EndOfPage -O TopMargin=24 "$D/receipt.pbm"
app_printer rp submit -o print-scaling=none -o raster-mode=bands "$D/page.png" >/dev/null || fail "submit PNG"
wait_job
expect_same "submit PNG, raster-mode=bands" "$OUT" -O RasterMode=Bands "$D/page-picture.png"
app_printer rp submit -o print-scaling=none -o black-mark=true -o keep-trailing-blank=true \
  "$D/page-blocks.jpg" >/dev/null || fail "submit JPEG"
wait_job
expect_same "submit JPEG, black-mark keep-trailing-blank" "$OUT" \
  -O BlackMark=True -O KeepTrailingBlank=True "$D/page-blocks-picture.png"

# A picture smaller than the media it names: centred on the 297 mm page;
# the blank head and tail are not printed (blank-ends=auto), so the receipt
# takes the paper of the picture alone. As sent, the blank head is fed out
# ahead of the picture (the plug-in still drops the last page's blank end).
app_printer rp submit -o print-scaling=none -o media=custom_receipt_80x297mm "$D/small.png" >/dev/null ||
  fail "submit small PNG"
wait_job
expect_same "PNG centred on 297 mm media prints the picture only" "$OUT" "$D/small-picture.png"
app_printer rp submit -o print-scaling=none -o media=custom_receipt_80x297mm -o blank-ends=as-sent "$D/small.png" \
  >/dev/null || fail "submit as sent"
wait_job
paper=$("$BIN/qmx415u-decode" "$OUT" | sed -n 's/^paper: \([0-9]*\) dot lines.*/\1/p')
picture_end=$(( (MEDIA_LINES + PICTURE_LINES) / 2 ))
[ "${paper:-0}" -ge $picture_end ] || fail "blank-ends=as-sent printed $paper lines, the picture ends at $picture_end"
echo "ok - blank-ends=as-sent keeps the page's blank head ($paper dot lines of paper)"

# A value out of range is refused, not printed with some other setting.
if app_printer rp submit -o top-margin=999 "$D/receipt.pwg" >"$D/refused.txt" 2>&1; then
  wait_job
  grep -q "\[Job $JOBS\] Aborted" "$D/log" || fail "top-margin=999 printed"
  sleep 0.3
  [ "$(find "$D/jobs" -name 'conn-*.prn' | wc -l)" = $OUTPUTS ] || fail "top-margin=999 sent bytes to the printer"
fi
echo "ok - top-margin=999 refused"

# A black_1 PWG raster (the printer lists black_1 among its PWG raster
# types): its 1-bit rows print exactly.
"$BIN/qmx415u-make-raster" --format pwg -o "$D/black1.pwg" "$D/receipt.pbm"
ipptool -f "$D/black1.pwg" "ipp://localhost:$APP_PORT/ipp/print/rp" /usr/share/cups/ipptool/print-job.test \
  >/dev/null 2>&1 || fail "the black_1 document was refused"
wait_job
expect_same "a black_1 PWG raster prints exactly" "$OUT" "$D/receipt.pbm"

# ---- Printer defaults, then a restart ---------------------------------------
app_local modify -d rp -o cut=never -o trim-blank-tail=true -o longest-blank=16 || fail "modify defaults"
DEFAULTS=(-O CutMedia=Never -O TrimBlankTail=True -O LongestBlank=16)
app_printer rp submit "$D/receipt.pwg" >/dev/null || fail "submit with defaults"
wait_job
expect_same "printer defaults cut=never trim-blank-tail longest-blank=16" "$OUT" "${DEFAULTS[@]}" \
  "$D/receipt.pbm"
app_printer rp submit -o cut=end-of-job "$D/receipt.pwg" >/dev/null || fail "submit over defaults"
wait_job
expect_same "job option over the default" "$OUT" -O CutMedia=EndOfJob -O TrimBlankTail=True \
  -O LongestBlank=16 "$D/receipt.pbm"

sleep 1.5  # the state is saved within a second of the last change (app/state_file.h)
app_stop
mv "$D/log" "$D/log.1"
app_start || fail "restart"
JOBS=$(grep -c "Completed\|Aborted" "$D/log.1")
app_printer rp submit "$D/receipt.pwg" >/dev/null || fail "submit after restart"
wait_job
expect_same "printer and defaults kept across a restart" "$OUT" "${DEFAULTS[@]}" "$D/receipt.pbm"

echo "print_test: all passed"
