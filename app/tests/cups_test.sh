#!/usr/bin/env bash
# The app as a CUPS destination: a private cupsd makes an IPP Everywhere
# queue for one of the app's printers (lpadmin -m everywhere asks the
# printer itself), then `lp` prints a PDF and a text file through CUPS'
# own filters; both jobs reach the app as grey raster (CUPS picks Apple
# raster, PAPPL's document-format-preferred), and both streams decode.
#
# usage: cups_test.sh BIN_DIR
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/app_env.sh" "${1:?bin folder}"
CUPSD_NO_TRAP=1  # app_env's exit trap stops it
source "$HERE/../../cups/tests/private-cupsd"
BIN=$APP_BIN_DIR
D=$APP_DIR
app_on_exit cupsd_stop

app_needs_root "a private cupsd"

app_start || fail "server"
sink_start jobs || fail "sink"
app add -d receipt -m qmx415u -v "socket://127.0.0.1:$SINK_PORT" >/dev/null || fail "add printer"
cupsd_start || fail "cupsd"

lpadmin -p receipt -E -v "ipp://127.0.0.1:$APP_PORT/ipp/print/receipt" -m everywhere && cupsd_wait_ready receipt 30 ||
  fail "lpadmin -m everywhere"

# A PDF page of text and boxes, and a plain text file.
cat >"$D/page.ps" <<'EOF'
%!PS
<< /PageSize [227 340] >> setpagedevice
/Helvetica findfont 14 scalefont setfont
20 300 moveto (Receipt through CUPS) show
20 280 moveto (1 x coffee        2.50) show
20 260 moveto (1 x cake          3.20) show
4 setlinewidth 20 200 moveto 200 200 lineto stroke
20 120 180 60 rectfill
showpage
EOF
gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -sOutputFile="$D/page.pdf" "$D/page.ps" || fail "making the PDF"
printf 'Text through CUPS\n\n1 x tea      1.80\n1 x bun      2.10\n\nThank you\n' >"$D/note.txt"

# The PDF alone first: an 80 x 120 mm page whose ink (a title at 300 pt
# to a box at 120 pt) is 67 mm tall, printed with the queue's defaults.
# CUPS lays it on the printer's 80 x 297 mm media; the app prints its ink,
# not the page: the 1.5 mm top margin, the ink, the 12 mm feed before the
# cut, and 3 mm for where the renderer puts the title's top.
MOST_PAPER_MM=84
lp -d receipt "$D/page.pdf" >/dev/null || fail "lp PDF"
sink_wait jobs 1 || fail "the PDF never reached the printer"
paper=$("$BIN/qmx415u-decode" "$D/jobs/conn-000001.prn" | sed -n 's/^paper: [0-9]* dot lines, \([0-9.]*\) mm/\1/p')
awk -v p="${paper:-999}" -v most=$MOST_PAPER_MM 'BEGIN { exit !(p <= most) }' ||
  fail "the PDF receipt took $paper mm of paper (its ink and margins come to $MOST_PAPER_MM mm)"
echo "ok - a PDF receipt smaller than the media, with the queue's defaults: $paper mm of paper"
lp -d receipt "$D/note.txt" >/dev/null || fail "lp text"

# Both jobs leave CUPS and end in the app.
for _ in $(seq 600); do
  done_jobs=$(grep -cE '\[Job [0-9]+\] Completed' "$D/log")
  [ "$done_jobs" -ge 2 ] && [ -z "$(lpstat -o 2>/dev/null)" ] && break
  sleep 0.1
done
[ "${done_jobs:-0}" -ge 2 ] || { grep -E "\[Job 1\]" "$CUPSD_ROOT/log/error_log" | tail -60 >&2; fail "the jobs did not reach the app"; }
grep -E '\[Job [0-9]+\] Aborted' "$D/log" && fail "a job was aborted"

for _ in $(seq 100); do  # the printer's last connection ends
  [ -z "$(find "$D/jobs" -name '*.part')" ] && break
  sleep 0.05
done
n=0
for f in "$D"/jobs/conn-*.prn; do
  "$BIN/qmx415u-decode" "$f" >"$D/decoded.txt" || fail "$f does not decode: $(tail -1 "$D/decoded.txt")"
  lines=$(sed -n 's/^raster blocks: \([0-9]*\) lines.*/\1/p' "$D/decoded.txt")
  [ "${lines:-0}" -gt 100 ] || fail "$f holds almost nothing: $(cat "$D/decoded.txt")"
  n=$((n + 1))
done
# One connection per job, or one for both when PAPPL kept the device open.
[ $n -ge 1 ] || fail "nothing reached the printer"
# CUPS renders both to raster (Apple raster, the printer's preferred format).
[ "$(grep -cE 'Accepted: [0-9]+ bytes of image/(urf|pwg-raster)' "$D/log")" = 2 ] || fail "the jobs did not arrive as raster"
echo "ok - lp of a PDF and a text file through a cupsd queue (-m everywhere): both streams decode"

# An 80 x 60 mm page, wider than tall, as a shop's label or ticket: `lp -o
# media=Custom.80x60mm` sends a width CUPS computes from points (79.72 mm).
# The app takes it as the roll, and CUPS has no reason to turn the page:
# its bar across the top stays a row of dots across the paper.
cat >"$D/ticket.ps" <<'END'
%!PS
<< /PageSize [226.77 170.08] >> setpagedevice
/mm { 72 mul 25.4 div } def
0 setgray 5 mm 50 mm 70 mm 3 mm rectfill
/Helvetica findfont 5 mm scalefont setfont 8 mm 30 mm moveto (TICKET 7) show
showpage
END
gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -sOutputFile="$D/ticket.pdf" "$D/ticket.ps" || fail "making the ticket"
connections=$(find "$D/jobs" -name 'conn-*.prn' | wc -l)
lp -d receipt -o media=Custom.80x60mm "$D/ticket.pdf" >/dev/null || fail "lp the ticket"
sink_wait jobs $((connections + 1)) || fail "the ticket never reached the printer"
grep -q "Unsupported media-col" "$D/log" && fail "the app refused the ticket's media"
ticket=$(printf '%s/jobs/conn-%06d.prn' "$D" $((connections + 1)))
"$BIN/qmx415u-decode" --pbm "$D/ticket.pbm" "$ticket" >/dev/null || fail "the ticket does not decode"
widest=$(python3 - "$D/ticket.pbm" <<'END'
import sys
data = open(sys.argv[1], "rb").read().split(b"\n", 2)
rows = data[2]
print(max(sum(bin(b).count("1") for b in rows[i:i + 72]) for i in range(0, len(rows), 72)))
END
)
# The bar is 70 mm (559 dots) across; turned, no row would hold more than 3 mm of it.
[ "$widest" -ge 500 ] || fail "the ticket came out turned: its widest row has $widest dots"
echo "ok - an 80 x 60 mm ticket (lp -o media=Custom.80x60mm) is taken and prints as it stands ($widest dots across)"
echo "cups_test: all passed"
