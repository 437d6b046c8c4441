#!/usr/bin/env bash
# Printing through a real cupsd: our filter and PPD on a private cupsd
# (cups/tests/private-cupsd), a queue on a file:// device, and jobs of every
# kind (text, PDF, PNG, two pages, each cut mode, band mode, the blank-space
# option). Each job's output must decode strictly and its paper must be the
# raster that the same CUPS chain (cupsfilter, same PPD and options) makes
# of the same file, after the job's margins, trimming, feeds and cuts.
# A job cancelled mid-way leaves a stream that decodes strictly.
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

# Cancelled while printing: a long job, cancelled once its output has begun.
for ((i = 0; i < 40; i++)); do cat "$work/doc.ps"; done >"$work/long.ps"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -o "$work/long.pdf" "$work/long.ps"
: >"$CUPSD_OUT/receipt.prn"
id=$(cupsd_print receipt "$work/long.pdf" -o PageSize=80x1000mm)
for ((i = 0; i < 300; i++)); do
  [ "$(stat -c %s "$CUPSD_OUT/receipt.prn")" -gt 20000 ] && break
  sleep 0.1
done
cancel "$id"
for ((i = 0; i < 300; i++)); do
  [ "$(cupsd_job_state "$id")" = canceled ] && break
  sleep 0.1
done
check "a cancelled job ends canceled" test "$(cupsd_job_state "$id")" = canceled
check "a cancelled job's stream decodes strictly" "$bin/qmx415u-raster-check" --stream-only "$CUPSD_OUT/receipt.prn"

echo "$failures failed"
[ "$failures" = 0 ]
