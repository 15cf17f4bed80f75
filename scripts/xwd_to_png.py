#!/usr/bin/env python3
"""Turns an X window dump of a 24-bit screen (the screen file Xvfb keeps with -fbdir) into a PNG.

usage: xwd_to_png.py SCREEN.xwd OUT.png"""
import struct
import sys
import zlib

HEADER_FIELDS = 25  # 32-bit big-endian values, from header_size to window_bdrwidth


def read_screen(path):
    with open(path, "rb") as dump:
        data = dump.read()
    if len(data) < HEADER_FIELDS * 4:
        raise ValueError("too short for a window dump")
    (header_size, _version, _format, _depth, width, height, _xoffset, byte_order, _unit, _bit_order,
     _pad, bits_per_pixel, bytes_per_line, _visual, red_mask, green_mask, blue_mask, _bits_per_rgb,
     _entries, colour_count) = struct.unpack(">20I", data[:80])
    if bits_per_pixel != 32:
        raise ValueError(f"{bits_per_pixel} bits a pixel; only 32 are read")
    pixels_at = header_size + 12 * colour_count
    if len(data) < pixels_at + bytes_per_line * height:
        raise ValueError("the pixels end early")

    def byte_of(mask):
        shift = (mask & -mask).bit_length() - 1
        return shift // 8 if byte_order == 0 else 3 - shift // 8

    red, green, blue = byte_of(red_mask), byte_of(green_mask), byte_of(blue_mask)
    rows = []
    for y in range(height):
        start = pixels_at + y * bytes_per_line
        source = data[start:start + width * 4]
        row = bytearray(width * 3)
        row[0::3], row[1::3], row[2::3] = source[red::4], source[green::4], source[blue::4]
        rows.append(b"\x00" + bytes(row))  # filter type 0 for each row
    return width, height, b"".join(rows)


def write_png(path, width, height, rows):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        out.write(chunk(b"IDAT", zlib.compress(rows, 6)))
        out.write(chunk(b"IEND", b""))


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.splitlines()[-1])
    try:
        write_png(sys.argv[2], *read_screen(sys.argv[1]))
    except (OSError, ValueError) as error:
        sys.exit(f"xwd_to_png: {sys.argv[1]}: {error}")


if __name__ == "__main__":
    main()
