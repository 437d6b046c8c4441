#!/usr/bin/env bash
# rastertoqmx415u run directly, as CUPS runs it: pages and options checked
# against the raster by the oracle, and the failure paths (bad raster, a
# stream cut short, a closed output, a cancel) each end with a stream that
# decodes strictly and the exit status and message CUPS expects.
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
filter 1 "CutMedia=Never KeepTrailingBlank=True" "$work/tall.ras" >"$work/t.prn" 2>"$work/t.log"
check "a longer later page starts a new job" has "^WARNING: page 2 has 10200 rows" "$work/t.log"
label_rows=$(sed -n 2p "$work/label.pbm" | cut -d' ' -f2)
check "both jobs' paper is whole" test "$("$bin/qmx415u-decode" "$work/t.prn" | sed -n 's/^paper: \([0-9]*\).*/\1/p')" \
  = $((12 + label_rows + 12 + 10200))

# Bad input: an error, a non-zero exit, and never a partial command.
raster --resolution 300 -o "$work/300.ras" "$work/label.pbm"
status=0; filter 1 "" "$work/300.ras" >"$work/e.prn" 2>"$work/e.log" || status=$?
check "300 dpi is an ERROR before any byte" test "$status" = 1 -a ! -s "$work/e.prn"
check "the ERROR names the resolution" has "^ERROR: bad raster input: page 1: resolution 300x300" "$work/e.log"
head -c $(($(stat -c %s "$work/bits.ras") - 5000)) "$work/bits.ras" >"$work/cut.ras"
status=0; filter 1 "" "$work/cut.ras" >"$work/f.prn" 2>"$work/f.log" || status=$?
check "a raster cut short is an ERROR" test "$status" = 1
check "its stream decodes strictly" strict "$work/f.prn"
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
head -c $(($(stat -c %s "$work/bits.ras") - 3000)) "$work/bits.ras" >&3
for ((i = 0; i < 100; i++)); do has "^PAGE: 2 1" "$work/g.log" && break; sleep 0.1; done
kill -TERM "$filter_pid"
sleep 0.2
exec 3>&-
status=0; wait "$filter_pid" || status=$?
filter_pid=
check "a cancelled job exits 0" test "$status" = 0
check "a cancelled job's stream decodes strictly" strict "$work/g.prn"
check "and holds page 1 whole" test "$(stat -c %s "$work/g.prn")" -gt "$(stat -c %s "$work/a.prn" | awk '{print int($1 / 3)}')"
check "no page files left" test -z "$(ls -A "$TMPDIR")"

echo "$failures failed"
[ "$failures" = 0 ]
