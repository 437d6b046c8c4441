#!/usr/bin/env bash
# Printing through a real cupsd: our filter and PPD on a private cupsd
# (cups/tests/private-cupsd), a queue on a file:// device, and jobs of every
# kind (text, PDF, PNG, two pages, each cut mode, band mode, the blank-space
# option). Each job's output must decode strictly and its paper must be the
# raster that the same CUPS chain (cupsfilter, same PPD and options) makes
# of the same file, after the job's margins, trimming, feeds and cuts.
# A receipt smaller than the media, printed with the queue's defaults,
# takes only its ink plus the margin and the feed before the cut. A job
# cancelled mid-way leaves a stream that decodes strictly and holds the
# whole job's first page, and more, row for row.
# Environment (from ctest): QMX_BIN, QMX_PPD, QMX415U_PLUGIN.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$QMX_BIN
# shellcheck source=private-cupsd
source "$here/private-cupsd"

CUPSD_ENV="QMX415U_PLUGIN=$QMX415U_PLUGIN"
cupsd_start "$bin/rastertoqmx415u"
work=$CUPSD_ROOT/work
mkdir "$work"
failures=0
check() {  # name, then a command that must succeed
  local name=$1; shift
  if "$@"; then echo "ok   $name"; else echo "FAIL $name"; failures=$((failures + 1)); fi
}

# The PPD where cups-driverd finds it, and a queue made from its name.
cp "$QMX_PPD" "$CUPSD_MODEL/qmx415u.ppd"
check "lpinfo -m lists the PPD" bash -c 'lpinfo -m | grep -q "^qmx415u.ppd Generic 80 mm thermal receipt printer"'
lpadmin -p receipt -E -v "file://$CUPSD_OUT/receipt.prn" -m qmx415u.ppd 2>/dev/null

# Documents: text, a two-page PDF with text, rules and grey, a grey PNG.
printf 'Receipt 0042\n\nCoffee        2.50\nCake          3.20\n\nTotal         5.70\n' >"$work/receipt.txt"
cat >"$work/doc.ps" <<'PS'
%!PS
/Helvetica findfont 14 scalefont setfont
1 1 2 { /n exch def
  20 780 moveto (Page ) show n 3 string cvs show
  20 740 moveto (Thermal receipt test) show
  0.5 setgray 20 600 150 100 rectfill 0 setgray
  2 setlinewidth 20 560 moveto 200 560 lineto stroke
  showpage } for
PS
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sPAPERSIZE=a4 -o "$work/two.pdf" "$work/doc.ps"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pnggray -r60 -dFirstPage=1 -dLastPage=1 -o "$work/photo.png" "$work/two.pdf"

# Prints FILE with OPTIONS on the queue and through cupsfilter, and checks
# the queue's output against cupsfilter's raster.
run_case() {
  local name=$1 file=$2; shift 2
  local lp_args=() oracle_args=() opt id
  for opt in "$@"; do
    lp_args+=(-o "$opt")
    case ${opt%%=*} in
      PageSize | ColorModel) ;;
      *) oracle_args+=(-o "$opt") ;;
    esac
  done
  cupsfilter -p "$QMX_PPD" -m application/vnd.cups-raster "${lp_args[@]}" "$file" >"$work/$name.ras" 2>/dev/null
  id=$(cupsd_print receipt "$file" "${lp_args[@]}")
  if ! cupsd_wait_job "$id" 120; then
    check "$name: job completed" false
    return
  fi
  cp "$CUPSD_OUT/receipt.prn" "$work/$name.prn"
  check "$name: paper is the chain's raster" "$bin/qmx415u-raster-check" "${oracle_args[@]}" "$work/$name.ras" "$work/$name.prn"
}

run_case text "$work/receipt.txt"
run_case pdf "$work/two.pdf"
run_case png "$work/photo.png"
run_case black-and-white "$work/two.pdf" ColorModel=Black
run_case cut-never "$work/two.pdf" CutMedia=Never
run_case cut-every-page "$work/two.pdf" CutMedia=EndOfPage CutCommand=EscM
run_case bands "$work/two.pdf" RasterMode=Bands TopMargin=3mm
run_case blank-space "$work/two.pdf" TrimBlankTail=True LongestBlank=5mm PageSize=80x600mm
run_case custom-size "$work/receipt.txt" PageSize=Custom.80x120mm TopMargin=Custom.16
run_case as-sent "$work/two.pdf" BlankEnds=AsSent

# An 80 x 120 mm PDF receipt whose ink spans 45 mm (a rule at each end),
# printed with the queue's defaults (80 x 297 mm media, on which the chain
# centres it): the paper is the top margin (12 lines), the ink and the
# feed before the cut (96 lines), and nothing more.
cat >"$work/small.ps" <<'PS'
%!PS
<< /PageSize [226.77 340.16] >> setpagedevice
/mm { 72 mul 25.4 div } def
0 setgray 5 mm 109 mm 70 mm 1 mm rectfill
/Helvetica-Bold findfont 5 mm scalefont setfont 8 mm 100 mm moveto (RECEIPT 0042) show
/Helvetica findfont 3.5 mm scalefont setfont
8 mm 92 mm moveto (Coffee) show 55 mm 92 mm moveto (2.50) show
8 mm 86 mm moveto (Cake) show 55 mm 86 mm moveto (3.20) show
8 mm 78 mm moveto (Total) show 55 mm 78 mm moveto (5.70) show
0.5 setgray 8 mm 70 mm 60 mm 4 mm rectfill
0 setgray 5 mm 65 mm 70 mm 1 mm rectfill
showpage
PS
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -o "$work/small.pdf" "$work/small.ps"
paper_mm() { "$bin/qmx415u-decode" "$1" | sed -n 's/^paper: \([0-9]*\) dot lines.*/\1/p' | awk '{print $1 / 8}'; }
run_case small-receipt "$work/small.pdf"
run_case small-receipt-as-sent "$work/small.pdf" BlankEnds=AsSent
ink_mm=45 top_margin_mm=1.5 pre_cut_feed_mm=12 edge_mm=1  # edge: the rules' rows as the raster rounds them
most_mm=$(awk -v a=$ink_mm -v b=$top_margin_mm -v c=$pre_cut_feed_mm -v d=$edge_mm 'BEGIN {print a + b + c + d}')
echo "small receipt: $(paper_mm "$work/small-receipt.prn") mm of paper by default," \
  "$(paper_mm "$work/small-receipt-as-sent.prn") mm as sent"
check "a small receipt takes at most ${most_mm} mm of paper" \
  awk -v got="$(paper_mm "$work/small-receipt.prn")" -v most="$most_mm" 'BEGIN {exit !(got > 0 && got <= most)}'

# Cancelled while printing: a long job, cancelled once its output has begun.
# Its first pages through the same chain are the reference: the cancelled
# paper must be theirs row for row, at least the first page whole.
for ((i = 0; i < 40; i++)); do cat "$work/doc.ps"; done >"$work/long.ps"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -o "$work/long.pdf" "$work/long.ps"
long_options=(-o PageSize=80x1000mm)
reference() {  # PAGES OUT [filter option]: the job's first PAGES pages printed through the filter, as the oracle has them
  local options=()
  [ -n "${3:-}" ] && options=(-o "$3")
  cupsfilter -p "$QMX_PPD" -m application/vnd.cups-raster "${long_options[@]}" -o page-ranges="$1" \
    "$work/long.pdf" >"$work/reference.ras" 2>/dev/null
  "$bin/rastertoqmx415u" 1 root reference 1 "${3:-}" "$work/reference.ras" >"$2" 2>/dev/null
  check "reference pages $1 are the chain's raster" "$bin/qmx415u-raster-check" "${options[@]}" "$work/reference.ras" "$2"
}
reference 1-6 "$work/first-pages.prn"
reference 1 "$work/first-page.prn" CutMedia=Never
first_page_rows=$("$bin/qmx415u-decode" "$work/first-page.prn" | sed -n 's/^paper: \([0-9]*\) dot lines.*/\1/p')
: >"$CUPSD_OUT/receipt.prn"
id=$(cupsd_print receipt "$work/long.pdf" "${long_options[@]}")
begun=false
for ((i = 0; i < 300; i++)); do
  [ "$(stat -c %s "$CUPSD_OUT/receipt.prn")" -gt 20000 ] && begun=true && break
  sleep 0.1
done
cancel "$id" || true  # a job already ended is the checks' to report
for ((i = 0; i < 300; i++)); do
  [ "$(cupsd_job_state "$id")" = canceled ] && break
  sleep 0.1
done
check "the job's output had begun before the cancel" $begun
check "a cancelled job ends canceled" test "$(cupsd_job_state "$id")" = canceled
check "a cancelled job's stream decodes strictly" "$bin/qmx415u-raster-check" --stream-only "$CUPSD_OUT/receipt.prn"
check "and is the whole job's paper, its first page whole" "$bin/qmx415u-raster-check" --prefix-of --first-pages \
  "$work/first-pages.prn" "$CUPSD_OUT/receipt.prn" --at-least "$first_page_rows"

echo "$failures failed"
[ "$failures" = 0 ]
