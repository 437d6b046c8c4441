#!/usr/bin/env python3
"""Numbered receipts for the queue tests: each a small 576-dot page whose
number can be read back from the paper the printer stream makes.

usage:
  receipts.py make DIR FIRST COUNT [NOISE]
                                      writes DIR/receipt-NNNNNN.pbm for the
                                      numbers FIRST to FIRST+COUNT-1, each
                                      with NOISE rows of random dots below
                                      (72 printer bytes a row: a receipt
                                      larger than a printer's buffers)
  receipts.py read DECODER STREAM...  prints the numbers on each stream's
                                      paper, one line per stream ("-" for a
                                      stream that does not decode strictly
                                      or holds no receipt)

A receipt is a black bar (4 rows) over two rows of 12 blocks (8 rows each,
48 dots a block): the number's bits, low first, a black block a 1.
"""
import os
import subprocess
import sys
import tempfile

WIDTH_BYTES = 72
BAR_ROWS = 4
BIT_ROWS = 8
BITS_PER_ROW = 12
BLOCK_BYTES = WIDTH_BYTES // BITS_PER_ROW  # 48 dots


def receipt_rows(number):
    rows = [b"\xff" * WIDTH_BYTES] * BAR_ROWS
    for group in range(2):
        row = b"".join(b"\xff" * BLOCK_BYTES if (number >> (group * BITS_PER_ROW + i)) & 1 else
                       b"\x00" * BLOCK_BYTES for i in range(BITS_PER_ROW))
        rows += [row] * BIT_ROWS
    return rows


def make(folder, first, count, noise=0):
    for number in range(first, first + count):
        rows = receipt_rows(number) + [bytes(b & 0x7f for b in os.urandom(WIDTH_BYTES)) for _ in range(noise)]
        with open(os.path.join(folder, "receipt-%06d.pbm" % number), "wb") as f:
            f.write(b"P4\n576 %d\n" % len(rows) + b"".join(rows))


def read_pbm(path):
    with open(path, "rb") as f:
        data = f.read()
    parts = data.split(b"\n", 2)
    width, height = (int(v) for v in parts[1].split())
    assert width == 576
    body = parts[2]
    return [body[i * WIDTH_BYTES:(i + 1) * WIDTH_BYTES] for i in range(height)]


def numbers_on(rows):
    """Every receipt's number on a paper, top to bottom."""
    found, at = [], 0
    while at < len(rows):
        if rows[at] != b"\xff" * WIDTH_BYTES:
            at += 1
            continue
        start = at
        while at < len(rows) and rows[at] == b"\xff" * WIDTH_BYTES:
            at += 1
        bits = rows[start + BAR_ROWS:start + BAR_ROWS + 2 * BIT_ROWS]
        if at - start < BAR_ROWS or len(bits) < 2 * BIT_ROWS:
            continue
        number = 0
        for group in range(2):
            row = bits[group * BIT_ROWS]
            for i in range(BITS_PER_ROW):
                if row[i * BLOCK_BYTES] == 0xff:
                    number |= 1 << (group * BITS_PER_ROW + i)
        found.append(number)
        at = start + BAR_ROWS + 2 * BIT_ROWS
    return found


def read(decoder, streams):
    with tempfile.TemporaryDirectory() as scratch:
        paper = os.path.join(scratch, "paper.pbm")
        for stream in streams:
            done = subprocess.run([decoder, "--pbm", paper, stream], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
            numbers = numbers_on(read_pbm(paper)) if done.returncode == 0 else []
            print(" ".join(str(n) for n in numbers) if numbers else "-")


def main():
    args = sys.argv[1:]
    if len(args) in (4, 5) and args[0] == "make":
        make(args[1], int(args[2]), int(args[3]), int(args[4]) if len(args) == 5 else 0)
    elif len(args) >= 2 and args[0] == "read":
        read(args[1], args[2:])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
