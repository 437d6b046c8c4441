#!/usr/bin/env bash
# The print and decode tools end to end: sample receipts through the plug-in
# decode back to their images in every mode, file spooling gives the same
# bytes and leaves nothing behind, and bad input fails clearly.
# Usage: print_cli_test.sh BIN_DIR
set -euo pipefail
bin=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # name, then a command that must succeed
  local name=$1; shift
  if "$@"; then echo "ok   $name"; else echo "FAIL $name"; failures=$((failures + 1)); fi
}
print() { "$bin/qmx415u-print" --quiet "$@"; }
decode_pbm() { "$bin/qmx415u-decode" --pbm "$2" "$1" >/dev/null; }

"$bin/qmx415u-sample" receipt "$work/receipt.pbm"
"$bin/qmx415u-sample" label "$work/label.pbm"

# The decoded paper holds the image after the top margin; with no margin,
# trimming off, every row kept and no feeds or cut it is exactly the image.
plain=(--set topMarginLines=0 --set keepTrailingBlank=1 --set cutMode=0)
for mode in 0 1; do
  print "${plain[@]}" -O BlankEnds=AsSent --set bandMode=$mode -o "$work/r$mode.prn" "$work/receipt.pbm"
  decode_pbm "$work/r$mode.prn" "$work/r$mode.pbm"
  check "receipt decodes to its image, bandMode=$mode" cmp -s "$work/receipt.pbm" "$work/r$mode.pbm"
done

# Two pages, every cut mode: the streams decode, and the cut count follows.
for cut in 0 1 2; do
  print --set cutMode=$cut -o "$work/c$cut.prn" "$work/receipt.pbm" "$work/label.pbm"
  cuts=$("$bin/qmx415u-decode" "$work/c$cut.prn" | sed -n 's/^cuts: //p')
  want=$([ $cut = 0 ] && echo 0 || ([ $cut = 1 ] && echo 2 || echo 1))
  check "cutMode=$cut gives $want cuts" test "$cuts" = "$want"
done

# File spooling (a long paper) sends the same bytes as memory spooling.
mkdir "$work/spool"
for mode in 0 1; do
  print --set bandMode=$mode -o "$work/mem$mode.prn" "$work/receipt.pbm" "$work/label.pbm"
  print --set bandMode=$mode --paper-length 12600 --spool-dir "$work/spool" -o "$work/file$mode.prn" \
    "$work/receipt.pbm" "$work/label.pbm"
  check "files give the bytes of memory, bandMode=$mode" cmp -s "$work/mem$mode.prn" "$work/file$mode.prn"
  check "spool folder empty afterwards, bandMode=$mode" test -z "$(ls -A "$work/spool")"
done

# A stream that prints nothing still previews: a trimmed blank page, no cut.
printf 'P1\n576 1\n' >"$work/blank.pbm"; printf '0 %.0s' $(seq 576) >>"$work/blank.pbm"
print --set cutMode=0 -o "$work/blank.prn" "$work/blank.pbm"
check "a stream without rows decodes to a PNG" sh -c "'$bin/qmx415u-decode' --png '$work/blank.png' '$work/blank.prn' >/dev/null"

# The preview is a PNG.
print --preview "$work/p.png" -o "$work/p.prn" "$work/receipt.pbm"
check "preview is a PNG" sh -c "head -c 8 '$work/p.png' | od -An -tx1 | grep -q '89 50 4e 47'"

# The blank-space option: a page of ink, a long gap, ink and a blank tail
# prints with the gap cut to 2 mm and no tail.
{ printf 'P1\n576 300\n'; for r in $(seq 300); do
    if [ "$r" = 1 ] || [ "$r" = 200 ]; then printf '1 %.0s' $(seq 576); else printf '0 %.0s' $(seq 576); fi; echo
  done; } >"$work/gap.pbm"
print "${plain[@]}" -O TrimBlankTail=True -O LongestBlank=2mm -o "$work/gap.prn" "$work/gap.pbm"
rows=$("$bin/qmx415u-decode" "$work/gap.prn" | sed -n 's/^paper: \([0-9]*\) dot lines.*/\1/p')
check "blank runs cut to 2 mm, the tail trimmed (18 rows, got $rows)" test "$rows" = 18

# A page's blank head and tail: dropped by default, kept as sent when
# asked, and kept by default on black-mark paper.
{ printf 'P4\n576 208\n'; head -c $((72 * 100)) /dev/zero; head -c $((72 * 8)) /dev/zero | tr '\0' '\377'
  head -c $((72 * 100)) /dev/zero; } >"$work/framed.pbm"
for case in ":8" "-O BlankEnds=AsSent:208" "-O BlackMark=True:208" "-O BlackMark=True -O BlankEnds=Trim:8"; do
  # shellcheck disable=SC2086
  print "${plain[@]}" ${case%:*} -o "$work/framed.prn" "$work/framed.pbm"
  rows=$("$bin/qmx415u-decode" "$work/framed.prn" | sed -n 's/^paper: \([0-9]*\) dot lines.*/\1/p')
  check "blank ends ${case%:*}: ${case#*:} rows (got $rows)" test "$rows" = "${case#*:}"
done

# A stream that cannot be written leaves no preview behind.
if [ -w /dev/full ]; then
  "$bin/qmx415u-print" --quiet --preview "$work/full.png" -o /dev/full "$work/receipt.pbm" 2>/dev/null && status=0 || status=$?
  check "a failed output fails the run and leaves no preview" test "$status" -ne 0 -a ! -e "$work/full.png"
fi

# Bad input: one line on stderr, a non-zero exit, no output file.
expect_error() {  # name, expected stderr fragment, args...
  local name=$1 fragment=$2; shift 2
  local status=0
  "$bin/qmx415u-print" "$@" 2>"$work/err" >/dev/null || status=$?
  if [ $status -ne 0 ] && grep -q -- "$fragment" "$work/err" && [ "$(wc -l <"$work/err")" -eq 1 ]; then
    echo "ok   $name"
  else
    echo "FAIL $name (exit $status: $(cat "$work/err"))"; failures=$((failures + 1))
  fi
}
printf 'P4\n600 2\n' >"$work/wide.pbm"; head -c 150 /dev/zero >>"$work/wide.pbm"
printf 'P4\n576 10\nshort' >"$work/short.pbm"
head -c 100 /dev/zero >"$work/small.rec"
expect_error "missing file" "missing.pbm" -o "$work/x.prn" "$work/missing.pbm"
expect_error "too wide" "576" -o "$work/x.prn" "$work/wide.pbm"
expect_error "truncated image" "short.pbm" -o "$work/x.prn" "$work/short.pbm"
expect_error "a later page truncated" "page 2: .*short.pbm" -o "$work/x.prn" "$work/receipt.pbm" "$work/short.pbm"
expect_error "a file name cannot break the line" 'no\\x0aERROR: such' -o "$work/x.prn" "$work/no"$'\n'"ERROR: such.pbm"
expect_error "unknown field" "unknown field" --set colour=1 -o "$work/x.prn" "$work/receipt.pbm"
expect_error "value too wide" "0 to 255" --set cutMode=256 -o "$work/x.prn" "$work/receipt.pbm"
expect_error "record of the wrong size" "572 bytes" --devmode "$work/small.rec" -o "$work/x.prn" "$work/receipt.pbm"
expect_error "unwritable output" "x.prn" -o "$work/no/such/dir/x.prn" "$work/receipt.pbm"
expect_error "no pages" "no PAGE" -o "$work/x.prn"
expect_error "paper shorter than the page" "raise --paper-length" --paper-length 100 -o "$work/x.prn" "$work/receipt.pbm"
expect_error "missing spool folder" "no such folder" --spool-dir "$work/no/such/dir" -o "$work/x.prn" "$work/receipt.pbm"
check "no output left by failed runs" test ! -e "$work/x.prn"

[ $failures -eq 0 ]
