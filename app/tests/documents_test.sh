#!/usr/bin/env bash
# The document matrix, through the server as clients print: one black-and-
# white picture in every format and type the printer announces (PNG of
# every depth, palette, alpha, 16 bits, interlaced; JPEG grey, YCbCr, CMYK,
# progressive; PBM raw and plain), with copies and with media named or not,
# sent to a network printer on loopback. Each paper must be the picture's
# paper as qmx415u-print makes it, byte for byte (JPEG: within JPEG_DOTS
# dots of it), copies as whole jobs one after the other; the sample tool's
# own PNG prints dot for dot; the server is alive after every job.
#
# usage: documents_test.sh BIN_DIR
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/app_env.sh" "${1:?bin folder}"
D=$APP_DIR
BIN=$APP_BIN_DIR
JPEG_DOTS=8  # dots a JPEG's paper may differ by: quality 100 leaves a few at edges

app_start || fail "server"
sink_start paper || fail "sink"
app add -d rp -m qmx415u -v "socket://127.0.0.1:$SINK_PORT" >/dev/null || fail "add printer"

mkdir -p "$D/pictures"
"$BIN/qmx415u-test-pictures" "$D/pictures" || fail "pictures"
"$BIN/qmx415u-print" --quiet -o "$D/ref.prn" "$D/pictures/reference.pbm" || fail "reference"
cat "$D/ref.prn" "$D/ref.prn" >"$D/ref2.prn"
"$BIN/qmx415u-decode" --pbm "$D/ref.pbm" "$D/ref.prn" >/dev/null || fail "reference paper"

PRINTED=0
# print NAME FILE [submit options]: the job's stream in $OUT.
print() {
  local name=$1 file=$2
  shift 2
  app_printer rp submit "$@" "$file" >"$D/submit.out" 2>&1 || fail "$name: refused: $(cat "$D/submit.out")"
  PRINTED=$((PRINTED + 1))
  sink_wait paper $PRINTED || fail "$name: nothing printed"
  OUT=$(printf '%s/paper/conn-%06d.prn' "$D" $PRINTED)
  kill -0 "$APP_PID" || fail "$name: the server died"
}

# differing_dots STREAM: dots by which the stream's paper differs from the reference's.
differing_dots() {
  "$BIN/qmx415u-decode" --pbm "$D/got.pbm" "$1" >/dev/null || { echo 999999; return; }
  python3 - "$D/got.pbm" "$D/ref.pbm" <<'EOF'
import sys
a, b = (open(p, "rb").read().split(b"\n", 2) for p in sys.argv[1:])
if a[1] != b[1]:
    print(999999)
else:
    print(sum(bin(x ^ y).count("1") for x, y in zip(a[2], b[2])))
EOF
}

# expect NAME FILE REFERENCE [submit options]
expect() {
  local name=$1 file=$2 reference=$3
  shift 3
  print "$name" "$file" "$@"
  case $file in
    *.jpg)
      local dots
      dots=$(differing_dots "$OUT")
      [ "$dots" -le $JPEG_DOTS ] || fail "$name: the paper differs by $dots dots"
      ;;
    *)
      cmp -s "$OUT" "$reference" || fail "$name: the stream is not the picture's ($(stat -c %s "$OUT") bytes)"
      ;;
  esac
}

count=0
for file in "$D"/pictures/png-*.png "$D"/pictures/jpeg-*.jpg "$D"/pictures/pbm-*.pbm; do
  expect "$(basename "$file")" "$file" "$D/ref.prn"
  count=$((count + 1))
done
echo "ok - $count types of PNG, JPEG and PBM print the picture dot for dot (JPEG within $JPEG_DOTS dots)"

for file in png-grey1.png png-rgba16-interlaced.png pbm-raw.pbm; do
  expect "$file, 2 copies" "$D/pictures/$file" "$D/ref2.prn" -n 2
done
print "jpeg-ycbcr.jpg, 2 copies" "$D/pictures/jpeg-ycbcr.jpg" -n 2
[ "$(stat -c %s "$OUT")" -gt $(($(stat -c %s "$D/ref.prn") * 3 / 2)) ] || fail "two JPEG copies are one"
echo "ok - copies=2: two whole copies, one after the other"

for file in png-grey8.png jpeg-grey.jpg pbm-plain.pbm; do
  expect "$file on 80 x 297 mm media named, print-scaling=none" "$D/pictures/$file" "$D/ref.prn" \
    -o media=custom_receipt_80x297mm -o print-scaling=none
done
echo "ok - on media the job names, a picture prints as it stands"

# The README's own example: the sample tool's PNG.
"$BIN/qmx415u-sample" receipt "$D/receipt.png" || fail "sample png"
"$BIN/qmx415u-sample" receipt "$D/receipt.pbm" || fail "sample pbm"
"$BIN/qmx415u-print" --quiet -o "$D/receipt.prn" "$D/receipt.pbm" || fail "sample reference"
expect "the sample receipt as PNG" "$D/receipt.png" "$D/receipt.prn"
echo "ok - qmx415u-sample's receipt.png prints dot for dot"

app status >/dev/null || fail "the server no longer answers"
echo "documents_test: all passed"
