#!/usr/bin/env bash
# rastertoqmx415u run directly, as CUPS runs it: pages and options checked
# against the raster by the oracle, and the failure paths (bad raster, a
# stream cut short or damaged after its first page, a forged page height,
# job text that would forge a report line, a closed output, a cancel) each
# end with a stream that decodes strictly and the exit status and message
# CUPS expects.
# Environment (from ctest): QMX_BIN, QMX_PPD, QMX415U_PLUGIN.
set -euo pipefail
bin=$QMX_BIN
work=$(mktemp -d)
filter_pid=
cleanup() {
  [ -n "$filter_pid" ] && kill -KILL "$filter_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export TMPDIR=$work/tmp
mkdir "$TMPDIR"
failures=0
check() {  # name, then a command that must succeed
  local name=$1; shift
  if "$@"; then echo "ok   $name"; else echo "FAIL $name"; failures=$((failures + 1)); fi
}
filter() { "$bin/rastertoqmx415u" 7 user title "$@"; }
raster() { "$bin/qmx415u-make-raster" "$@"; }
oracle() { "$bin/qmx415u-raster-check" "$@" >/dev/null; }
strict() { "$bin/qmx415u-raster-check" --stream-only "$1" >/dev/null; }
has() { grep -q -- "$1" "$2"; }
lacks() { ! grep -q -- "$1" "$2"; }

"$bin/qmx415u-sample" receipt "$work/receipt.pbm"
"$bin/qmx415u-sample" label "$work/label.pbm"
raster -o "$work/bits.ras" "$work/receipt.pbm" "$work/label.pbm"
# What the PDF chain delivers: the 80 mm page, 4 mm (32 dots) left margin, grey.
raster --grey --width 639 --left 32 -o "$work/grey.ras" "$work/receipt.pbm" "$work/label.pbm"

# Pages and options: job options, custom values and the PPD's defaults.
filter 1 "" "$work/bits.ras" >"$work/a.prn" 2>"$work/a.log"
check "1-bit pages print as the raster" oracle "$work/bits.ras" "$work/a.prn"
check "a PAGE: line per page" test "$(grep -c '^PAGE: [12] 1$' "$work/a.log")" = 2
opts="CutMedia=EndOfPage TopMargin=Custom.3mm RasterMode=Bands TrimBlankTail=True LongestBlank=Custom.16"
PPD=$QMX_PPD filter 1 "$opts" <"$work/grey.ras" >"$work/b.prn" 2>"$work/b.log"
check "grey pages, job options and custom values" oracle -o CutMedia=EndOfPage -o TopMargin=24 -o RasterMode=Bands \
  -o TrimBlankTail=True -o LongestBlank=16 "$work/grey.ras" "$work/b.prn"
# Every row as it came, and black-mark paper, which keeps them by default.
# Real grey, as the PDF chain renders it: ramps, half-tones and grey text
# carry dither errors from dot to dot and row to row, which pages of only
# black and white never do.
if command -v cupsfilter >/dev/null && command -v gs >/dev/null; then
  cat >"$work/ramp.ps" <<'PS'
%!PS
0 1 99 { /i exch def i 99 div setgray 12 i 2 mul add 20 2 80 rectfill } for
0 1 10 { /i exch def i 10 div setgray 12 i 18 mul add 60 18 30 rectfill } for
/Helvetica findfont 10 scalefont setfont 0.3 setgray 12 100 moveto (Grey 30%) show
showpage
PS
  cupsfilter -p "$QMX_PPD" -m application/vnd.cups-raster -o PageSize=Custom.80x40mm "$work/ramp.ps" \
    >"$work/ramp.ras" 2>/dev/null
  filter 1 "" "$work/ramp.ras" >"$work/ramp.prn" 2>/dev/null
  check "grey ramps dither as defined" oracle "$work/ramp.ras" "$work/ramp.prn"
else
  echo "skip grey ramps: needs cupsfilter and gs"
fi
paper_rows() { "$bin/qmx415u-decode" "$1" | sed -n 's/^paper: \([0-9]*\).*/\1/p'; }
n=0
for opts in "" "BlankEnds=AsSent" "BlackMark=True" "BlackMark=True BlankEnds=Trim" "BlankEnds=AsSent TrimBlankTail=True"; do
  filter 1 "$opts" "$work/grey.ras" >"$work/s$n.prn" 2>/dev/null
  oracle_opts=()
  for opt in $opts; do oracle_opts+=(-o "$opt"); done
  check "blank ends: ${opts:-the default}" oracle "${oracle_opts[@]}" "$work/grey.ras" "$work/s$n.prn"
  n=$((n + 1))
done
check "the pages have blank ends to drop" test "$(paper_rows "$work/s1.prn")" -gt "$(paper_rows "$work/s0.prn")"
sed -e 's/^\*DefaultCutMedia: .*/*DefaultCutMedia: Never/' -e 's/^\*DefaultTopMargin: .*/*DefaultTopMargin: 40/' \
  "$QMX_PPD" >"$work/queue.ppd"
PPD=$work/queue.ppd filter 1 "TopMargin=Sometimes" <"$work/grey.ras" >"$work/c.prn" 2>"$work/c.log"
check "PPD defaults honoured, a bad job value falls back to them" oracle -o CutMedia=Never -o TopMargin=40 \
  "$work/grey.ras" "$work/c.prn"
check "a bad value is a WARNING" has "^WARNING: job option TopMargin=Sometimes" "$work/c.log"
filter 2 "" "$work/bits.ras" >"$work/d.prn" 2>"$work/d.log"
check "copies of a raster file" test "$(grep -c '^PAGE: ' "$work/d.log")" = 4

# A page wider than the head with its area past the last 576 dots is moved
# left, and says so.
raster --width 600 --left 100 -o "$work/wide.ras" "$work/label.pbm"
filter 1 "" "$work/wide.ras" >"$work/w.prn" 2>"$work/w.log"
check "a shifted page is a WARNING" has "^WARNING: page 1: .* moved 7[0-9] dots" "$work/w.log"

# A later page longer than the page buffers starts a new job; no line lost.
{ printf 'P4\n576 10200\n'; head -c $((72 * 10200)) /dev/zero | tr '\0' '\377'; } >"$work/tall.pbm"
raster -o "$work/tall.ras" "$work/label.pbm" "$work/tall.pbm"
filter 1 "CutMedia=Never KeepTrailingBlank=True BlankEnds=AsSent" "$work/tall.ras" >"$work/t.prn" 2>"$work/t.log"
check "a longer later page starts a new job" has "^WARNING: page 2 has 10200 rows" "$work/t.log"
label_rows=$(sed -n 2p "$work/label.pbm" | cut -d' ' -f2)
check "both jobs' paper is whole" test "$(paper_rows "$work/t.prn")" = $((12 + label_rows + 12 + 10200))

# Bad input: an error, a non-zero exit, and never a partial command.
raster --resolution 300 -o "$work/300.ras" "$work/label.pbm"
status=0; filter 1 "" "$work/300.ras" >"$work/e.prn" 2>"$work/e.log" || status=$?
check "300 dpi is an ERROR before any byte" test "$status" = 1 -a ! -s "$work/e.prn"
check "the ERROR names the resolution" has "^ERROR: bad raster input: page 1: resolution 300x300" "$work/e.log"
head -c $(($(stat -c %s "$work/bits.ras") - 5000)) "$work/bits.ras" >"$work/cut.ras"
status=0; filter 1 "" "$work/cut.ras" >"$work/f.prn" 2>"$work/f.log" || status=$?
check "a raster cut short is an ERROR" test "$status" = 1
check "its stream decodes strictly" strict "$work/f.prn"

# A raster whose second page is damaged: the first page prints whole, as
# the same page alone would, then the job ends and the ERROR names page 2.
# Offsets are those of the version-2 page header (cups/raster.h).
put_u32() {  # FILE OFFSET VALUE, little-endian in place
  local bytes
  bytes=$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($3 & 255)) $(($3 >> 8 & 255)) $(($3 >> 16 & 255)) $(($3 >> 24 & 255)))
  printf '%b' "$bytes" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
width_at=372 height_at=376 bytes_per_line_at=392
raster -o "$work/first.ras" "$work/receipt.pbm"
page2=$(stat -c %s "$work/first.ras")  # where page 2's header starts in bits.ras
filter 1 "" "$work/first.ras" >"$work/first.prn" 2>/dev/null
for name in header-cut height-0 absurd-width absurd-height trailing-bytes; do cp "$work/bits.ras" "$work/$name.ras"; done
truncate -s $((page2 + 100)) "$work/header-cut.ras"
put_u32 "$work/height-0.ras" $((page2 + height_at)) 0
put_u32 "$work/absurd-width.ras" $((page2 + width_at)) 50000000
put_u32 "$work/absurd-width.ras" $((page2 + bytes_per_line_at)) 6250000
put_u32 "$work/absurd-height.ras" $((page2 + height_at)) 50000000
printf 'RaS' >>"$work/trailing-bytes.ras"
for name in header-cut height-0 absurd-width absurd-height; do
  status=0; filter 1 "" "$work/$name.ras" >"$work/$name.prn" 2>"$work/$name.log" || status=$?
  check "$name: a non-zero exit" test "$status" = 1
  check "$name: one ERROR, naming page 2" test "$(grep -c '^ERROR: bad raster input: page 2: ' "$work/$name.log")" = 1 \
    -a "$(grep -c '^ERROR: ' "$work/$name.log")" = 1
  check "$name: page 1 printed whole, the job ended" cmp -s "$work/$name.prn" "$work/first.prn"
done
status=0; filter 1 "" "$work/trailing-bytes.ras" >"$work/trailing.prn" 2>"$work/trailing.log" || status=$?
check "bytes after the last page are an ERROR" test "$status" = 1
check "...naming page 3" has "^ERROR: bad raster input: page 3: the raster ends inside the page header (3 of 1796" \
  "$work/trailing.log"
check "...after both pages, whole" cmp -s "$work/trailing.prn" "$work/a.prn"
# Rows cut short inside page 2: the rows read print, the ERROR says how many.
head -c $((page2 + 2000)) "$work/bits.ras" >"$work/rows-cut.ras"
status=0; filter 1 "" "$work/rows-cut.ras" >"$work/rows-cut.prn" 2>"$work/rows-cut.log" || status=$?
check "rows cut short: ERROR naming page 2" test "$status" = 1 -a \
  "$(grep -c "^ERROR: bad raster input: page 2: the raster ends after [0-9]* of $label_rows rows" "$work/rows-cut.log")" = 1
check "...and a stream that decodes strictly" strict "$work/rows-cut.prn"
status=0; filter 1 "" </dev/null >"$work/empty.prn" 2>"$work/empty.log" || status=$?
check "an empty stream is an ERROR" test "$status" = 1 -a "$(grep -c '^ERROR: ' "$work/empty.log")" = 1

# A forged page height is refused before anything is spooled: a 575 KB
# raster claiming 50,000,000 rows ends at once, TMPDIR untouched, even with
# every blank row kept (which would all go to page files).
raster --height 50000000 -o "$work/hostile.ras" "$work/label.pbm"
start=$(date +%s)
status=0
timeout 30 "$bin/rastertoqmx415u" 7 user title 1 "BlankEnds=AsSent" "$work/hostile.ras" >"$work/h.prn" 2>"$work/h.log" &
hostile_pid=$!
peak=0
while kill -0 "$hostile_pid" 2>/dev/null; do
  used=$(du -sk "$TMPDIR" | cut -f1); [ "$used" -gt "$peak" ] && peak=$used
  sleep 0.05
done
wait "$hostile_pid" || status=$?
check "a forged height ends within 30 s" test $(($(date +%s) - start)) -le 30 -a "$status" != 124
check "...with an ERROR naming the height" has "^ERROR: bad raster input: page 1: a height of 50000000 rows" "$work/h.log"
check "...at most 64 MiB in TMPDIR (peak ${peak} KiB)" test "$peak" -le 65536
check "...and nothing sent" test ! -s "$work/h.prn"

# Job text in a report line is escaped: no newline, no escape sequence, no
# forged PAGE: or ERROR: line, whatever an option value, the copies or a
# file name hold.
forged=$'1\nPAGE: 99 1\nERROR: forged\e[2J'
filter 1 "TopMargin=\"$forged\"" "$work/bits.ras" >/dev/null 2>"$work/x.log"
filter "$forged" "" "$work/bits.ras" >/dev/null 2>>"$work/x.log"
filter 1 "" "$work/no-such$forged" >/dev/null 2>>"$work/x.log" || true
check "job text forges no report line" test "$(grep -c '^PAGE: 99\|^ERROR: forged' "$work/x.log")" = 0
check "...and steers no terminal" lacks $'\e' "$work/x.log"
check "...but is shown escaped" test "$(grep -c 'TopMargin=1\\x0aPAGE: 99 1\\x0aERROR: forged\\x1b\[2J' "$work/x.log")" = 1 \
  -a "$(grep -c '^WARNING: copies "1\\x0aPAGE' "$work/x.log")" = 1 -a "$(grep -c '^ERROR: .*no-such1\\x0a' "$work/x.log")" = 1

raster --repeat 50 -o "$work/many.ras" "$work/receipt.pbm"
status=0; (filter 1 "" "$work/many.ras" 2>"$work/p.log"; echo $? >"$work/p.status") | head -c 1000 >/dev/null || true
check "a closed output is an ERROR and a non-zero exit" test "$(cat "$work/p.status")" = 1
check "...said as such" has "^ERROR: printing failed" "$work/p.log"

# SIGTERM in the middle of page 2: the page and the job end, the stream
# decodes strictly, and the filter exits 0 as CUPS filters do.
mkfifo "$work/pipe"
"$bin/rastertoqmx415u" 7 user title 1 "" <"$work/pipe" >"$work/g.prn" 2>"$work/g.log" &
filter_pid=$!
exec 3>"$work/pipe"
head -c $((page2 + 2500)) "$work/bits.ras" >&3  # page 2's header and some of its rows
for ((i = 0; i < 100; i++)); do has "^PAGE: 2 1" "$work/g.log" && break; sleep 0.1; done
check "the cancel comes inside page 2" has "^PAGE: 2 1" "$work/g.log"
kill -TERM "$filter_pid"
sleep 0.2
exec 3>&-
status=0; wait "$filter_pid" || status=$?
filter_pid=
check "a cancelled job exits 0" test "$status" = 0
check "a cancelled job's stream decodes strictly" strict "$work/g.prn"
# What it printed is the whole job's paper up to its last dot, and reaches
# page 1's last dot (the first page alone, with no cut, ends there).
filter 1 "CutMedia=Never" "$work/first.ras" >"$work/first-uncut.prn" 2>/dev/null
page1_rows=$(paper_rows "$work/first-uncut.prn")
check "and holds page 1 whole, then page 2's rows as read" "$bin/qmx415u-raster-check" --prefix-of "$work/a.prn" \
  "$work/g.prn" --at-least "$page1_rows"
check "no page files left" test -z "$(ls -A "$TMPDIR")"

echo "$failures failed"
[ "$failures" = 0 ]
