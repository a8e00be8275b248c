#!/usr/bin/env python3
"""Checks that a PNG (8-bit RGB or RGBA) shows one colour: five points, one off the centre
(where the pointer is drawn) and four near the corners, each within a tolerance of the expected red, green and blue, since the picture
went through H.264. Prints the size and the colours seen.

    png-colour.py FILE RED GREEN BLUE
"""
import struct
import sys
import zlib

TOLERANCE = 16


def read_png(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        sys.exit(f"{path}: not a PNG")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace:
        sys.exit(f"{path}: depth {depth}, colour type {colour}, interlace {interlace}: not read here")
    channels = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for x in range(stride):
            a = line[x - channels] if x >= channels else 0
            b = previous[x]
            c = previous[x - channels] if x >= channels else 0
            if kind == 1:
                line[x] = (line[x] + a) & 255
            elif kind == 2:
                line[x] = (line[x] + b) & 255
            elif kind == 3:
                line[x] = (line[x] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(line)
        previous = line
    return width, height, channels, rows


def main():
    path, expected = sys.argv[1], tuple(int(v) for v in sys.argv[2:5])
    width, height, channels, rows = read_png(path)
    points = [(width // 3, height // 3), (width // 10, height // 10),
              (width * 9 // 10, height // 10), (width // 10, height * 9 // 10),
              (width * 9 // 10, height * 9 // 10)]
    seen = []
    for x, y in points:
        seen.append(tuple(rows[y][x * channels:x * channels + 3]))
    print(f"{path}: {width}x{height}, colours at five points: {seen}")
    wrong = [s for s in seen if any(abs(s[i] - expected[i]) > TOLERANCE for i in range(3))]
    if wrong:
        sys.exit(f"{path}: expected about {expected} everywhere, saw {wrong}")


main()
