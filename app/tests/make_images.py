#!/usr/bin/env python3
"""Test pages for the app: one grey page as PNG (203 dpi) and PGM.

  make_images.py WIDTH HEIGHT LEFT OUT.png OUT.pgm [--blocks] [--crop OUT2.png]
  make_images.py --jpeg-dpi FILE.jpg     (marks a JFIF file as 203 dpi)

The picture is 576 dots wide and sits LEFT dots from the page's left edge
(white around it). Without --blocks it holds grey ramps and bars, which
exercise the dither; with --blocks only black and white squares on the
8x8 grid, which a JPEG at quality 100 keeps exactly. --crop also writes
the picture alone, 576 dots wide, as the print tool's input.
"""
import struct
import sys
import zlib

HEAD = 576
DOTS_PER_METRE = 7992  # 203 dpi


def picture(height, blocks):
    rows = []
    for y in range(height):
        row = bytearray(HEAD)
        for x in range(HEAD):
            if blocks:
                on = ((x // 8) * 7 + (y // 8) * 3) % 5 < 2 and 16 <= y < height - 16
                row[x] = 0 if on else 255
            elif y < height // 3:
                row[x] = (x * 255) // (HEAD - 1)
            elif y < 2 * height // 3:
                row[x] = 0 if (x // 24 + y // 24) % 2 == 0 else 200
            else:
                row[x] = 255 - ((y * 7 + x) % 256) if 40 <= x < HEAD - 40 else 255
        rows.append(bytes(row))
    return rows


def place(rows, width, left):
    out = []
    for r in rows:
        line = bytearray(b"\xff" * width)
        line[left:left + HEAD] = r
        out.append(bytes(line))
    return out


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def write_png(path, rows):
    width, height = len(rows[0]), len(rows)
    raw = b"".join(b"\x00" + r for r in rows)
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
    png += chunk(b"pHYs", struct.pack(">IIB", DOTS_PER_METRE, DOTS_PER_METRE, 1))
    png += chunk(b"IDAT", zlib.compress(raw, 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def write_pgm(path, rows):
    with open(path, "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (len(rows[0]), len(rows)))
        f.write(b"".join(rows))


def mark_jpeg_dpi(path):
    data = bytearray(open(path, "rb").read())
    at = data.find(b"JFIF\x00")
    if at < 0:
        sys.exit(path + ": no JFIF header")
    # After the identifier: version (2 bytes), units (1: dots per inch), x and y density.
    data[at + 7:at + 12] = struct.pack(">BHH", 1, 203, 203)
    open(path, "wb").write(data)


def main(argv):
    if len(argv) == 3 and argv[1] == "--jpeg-dpi":
        mark_jpeg_dpi(argv[2])
        return
    if len(argv) < 6:
        sys.exit(__doc__)
    width, height, left = int(argv[1]), int(argv[2]), int(argv[3])
    blocks = "--blocks" in argv
    pic = picture(height, blocks)
    page = place(pic, width, left)
    write_png(argv[4], page)
    write_pgm(argv[5], page)
    if "--crop" in argv:
        write_png(argv[argv.index("--crop") + 1], pic)


if __name__ == "__main__":
    main(sys.argv)
