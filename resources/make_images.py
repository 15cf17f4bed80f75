#!/usr/bin/env python3
"""Draws the program's tool bar buttons, icon and About picture as PNG files.

Run from this folder; the PNGs are committed, so the build does not need Python."""
import math
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

    def frame(self, x0, y0, x1, y1, colour):
        for x in range(x0, x1 + 1):
            self.put(x, y0, colour)
            self.put(x, y1, colour)
        for y in range(y0, y1 + 1):
            self.put(x0, y, colour)
            self.put(x1, y, colour)

    def disc(self, cx, cy, radius, colour):
        for y in range(int(cy - radius - 1), int(cy + radius + 2)):
            for x in range(int(cx - radius - 1), int(cx + radius + 2)):
                if (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius:
                    self.put(x, y, colour)

    def ring(self, cx, cy, radius, thickness, colour):
        for y in range(int(cy - radius - 1), int(cy + radius + 2)):
            for x in range(int(cx - radius - 1), int(cx + radius + 2)):
                d = math.hypot(x - cx, y - cy)
                if radius - thickness <= d <= radius:
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


BLACK = (0, 0, 0)
DARK = (40, 44, 52)
GREY = (128, 128, 128)
LIGHT = (200, 204, 210)
WHITE = (255, 255, 255)
BLUE = (30, 90, 200)
MAGENTA = (199, 0, 255)
AMBER = (240, 170, 30)


def properties_button():
    # Three slider rails with their knobs at different places.
    c = Canvas(16, 15)
    for row, knob in ((3, 4), (7, 10), (11, 6)):
        c.rect(1, row, 14, row, DARK)
        c.rect(knob - 1, row - 2, knob + 1, row + 2, BLUE)
        c.frame(knob - 1, row - 2, knob + 1, row + 2, BLACK)
    c.save("toolbar/properties.png")


def archive_button():
    # A film strip with a play mark: recorded pictures to look at again.
    c = Canvas(16, 15)
    c.rect(1, 2, 14, 12, DARK)
    for x in range(2, 14, 3):
        c.rect(x, 3, x + 1, 3, LIGHT)
        c.rect(x, 11, x + 1, 11, LIGHT)
    for y in range(5, 10):
        span = 3 - abs(y - 7)
        c.rect(6, y, 6 + span * 2, y, AMBER)
    c.save("toolbar/archive.png")


def about_button():
    c = Canvas(16, 15)
    c.disc(7.5, 7, 6.5, BLUE)
    c.rect(7, 3, 8, 4, WHITE)
    c.rect(7, 6, 8, 11, WHITE)
    c.save("toolbar/about.png")


def program_icon():
    c = Canvas(48, 48)
    c.rect(4, 12, 43, 39, DARK)
    c.rect(10, 8, 19, 12, DARK)
    c.disc(24, 26, 11, GREY)
    c.disc(24, 26, 8.5, BLUE)
    c.disc(21, 23, 2.5, (170, 200, 255))
    c.disc(38, 16, 2, (230, 40, 40))
    c.save("icons/cindral.png")


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
    properties_button()
    archive_button()
    about_button()
    program_icon()
    about_picture()
