#!/usr/bin/env python3
"""Draws the About box's picture as a PNG file.

Run from this folder; the PNG is committed, so the build does not need Python. The tool bar
buttons and the program's icon are vector drawings (toolbar/*.svg, icons/cindral.svg)."""
import struct
import zlib


class Canvas:
    def __init__(self, width, height, background=(0, 0, 0, 0)):
        self.width, self.height = width, height
        self.pixels = [[background for _ in range(width)] for _ in range(height)]

    def put(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            if len(colour) == 3:
                colour = colour + (255,)
            self.pixels[y][x] = colour

    def rect(self, x0, y0, x1, y1, colour):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.put(x, y, colour)

    def disc(self, cx, cy, radius, colour):
        for y in range(int(cy - radius - 1), int(cy + radius + 2)):
            for x in range(int(cx - radius - 1), int(cx + radius + 2)):
                if (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius:
                    self.put(x, y, colour)

    def save(self, path):
        raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in self.pixels)

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

        header = struct.pack(">IIBBBBB", self.width, self.height, 8, 6, 0, 0, 0)
        with open(path, "wb") as out:
            out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
                      + chunk(b"IEND", b""))


WHITE = (255, 255, 255)
MAGENTA = (199, 0, 255)
AMBER = (240, 170, 30)


def about_picture():
    # A night scene seen through the camera: a sky gradient, a house, and the moving
    # blocks of the detector marked on a passing figure.
    c = Canvas(400, 300, (0, 0, 0, 255))
    for y in range(300):
        t = y / 299
        colour = (int(10 + 30 * t), int(20 + 50 * t), int(60 + 90 * t))
        c.rect(0, y, 399, y, colour)
    c.rect(0, 230, 399, 299, (30, 45, 35))
    c.rect(40, 130, 170, 235, (90, 80, 70))
    for x in range(30, 181):
        top = 130 - (75 - abs(x - 105))
        c.rect(x, max(top, 55), x, 130, (120, 50, 40))
    c.rect(70, 160, 100, 190, AMBER)
    c.rect(120, 180, 145, 235, (60, 40, 30))
    c.disc(320, 60, 22, (235, 235, 210))
    # the figure
    c.disc(262, 160, 10, (20, 20, 25))
    c.rect(252, 172, 272, 215, (20, 20, 25))
    c.rect(254, 215, 260, 245, (20, 20, 25))
    c.rect(265, 215, 271, 245, (20, 20, 25))
    # detector marks: 4x4 blocks on the moving outline
    for by in range(148, 248, 4):
        for bx in range(248, 280, 4):
            inside = any(c.pixels[y][x][:3] == (20, 20, 25) for y in range(by, by + 4) for x in range(bx, bx + 4))
            edge = inside and any(c.pixels[y][x][:3] != (20, 20, 25)
                                  for y in range(max(by - 4, 0), min(by + 8, 300))
                                  for x in range(max(bx - 4, 0), min(bx + 8, 400)))
            if edge:
                for y in range(by, by + 4):
                    for x in range(bx, bx + 4):
                        if (x + y) % 2 == 0:
                            c.put(x, y, MAGENTA)
    # the camera's frame corners
    for (x0, y0, dx, dy) in ((12, 12, 1, 1), (387, 12, -1, 1), (12, 287, 1, -1), (387, 287, -1, -1)):
        for i in range(24):
            c.rect(x0 + dx * i, y0, x0 + dx * i, y0 + dy * 2 if dy > 0 else y0, WHITE)
            c.put(x0 + dx * i, y0 + dy, WHITE)
            c.put(x0, y0 + dy * i, WHITE)
            c.put(x0 + dx, y0 + dy * i, WHITE)
    c.disc(370, 275, 5, (230, 40, 40))
    c.save("images/about.png")


if __name__ == "__main__":
    about_picture()
