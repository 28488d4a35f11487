#!/usr/bin/env python3
"""Draws the updater's logo and application icon with the standard library only.

Writes src/ui/images/corvane_logo.png (48 x 48, RGBA) and
src/ui/images/application.ico (16, 24, 32 and 48 pixels at 32 and 8 bits per
pixel, 16 pixels at 4 bits per pixel, and 256 pixels stored as PNG).
Run it again after changing the drawing; the output is deterministic.
"""
import math
import os
import struct
import sys
import zlib

SUPERSAMPLE = 4

DISC_TOP = (28, 74, 112)      # deep blue, top of the disc
DISC_BOTTOM = (12, 36, 64)    # darker at the bottom
RING = (240, 244, 248)        # the "C"
VANE = (244, 150, 36)         # the orange vane in the opening of the "C"


def shade(u, v):
    """Colour and coverage of one sample; u, v in [0, 1) across the image."""
    x = u - 0.5
    y = v - 0.5
    r = math.hypot(x, y)
    if r > 0.47:
        return None
    angle = math.degrees(math.atan2(-y, x)) % 360.0
    # The vane: a small triangle pointing into the opening of the C.
    vx, vy = x - 0.10, y
    if 0.0 <= vx <= 0.24 and abs(vy) <= 0.085 * (1.0 - vx / 0.24):
        return VANE
    # The C: a thick ring open towards the right.
    if 0.22 <= r <= 0.36 and not (angle < 40.0 or angle > 320.0):
        return RING
    t = min(max(v, 0.0), 1.0)
    return tuple(int(a + (b - a) * t) for a, b in zip(DISC_TOP, DISC_BOTTOM))


def render(size):
    """RGBA rows (top-down) of the picture at the given size, anti-aliased."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0]
            hits = 0
            for sy in range(n):
                for sx in range(n):
                    c = shade((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    if c is not None:
                        hits += 1
                        for i in range(3):
                            acc[i] += c[i]
            if hits == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(round(a / hits) for a in acc) + (round(255 * hits / (n * n)),))
        rows.append(row)
    return rows


def png_bytes(rows):
    size_y = len(rows)
    size_x = len(rows[0])
    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size_x, size_y, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def palette_8bit():
    # 6 x 6 x 6 colour cube followed by a grey ramp: 256 entries.
    pal = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    pal += [(round(i * 255 / 39),) * 3 for i in range(40)]
    return pal


def palette_4bit():
    return [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
            (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
            (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def nearest(pal, rgb):
    return min(range(len(pal)), key=lambda i: sum((a - b) ** 2 for a, b in zip(pal[i], rgb)))


def and_mask(rows):
    """1 bit per pixel, bottom-up, rows padded to 4 bytes; 1 = transparent."""
    size = len(rows)
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, px in enumerate(row):
            if px[3] < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


def dib_bytes(rows, bits):
    size = len(rows)
    if bits == 32:
        pal = []
    else:
        pal = palette_8bit() if bits == 8 else palette_4bit()
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0, len(pal), 0)
    body = bytearray()
    for c in pal:
        body += bytes((c[2], c[1], c[0], 0))
    stride = ((size * bits + 31) // 32) * 4
    for row in reversed(rows):
        line = bytearray()
        if bits == 32:
            for r, g, b, a in row:
                line += bytes((b, g, r, a))
        else:
            idx = [nearest(pal, px[:3]) if px[3] >= 128 else 0 for px in row]
            if bits == 8:
                line += bytes(idx)
            else:
                for i in range(0, size, 2):
                    hi = idx[i]
                    lo = idx[i + 1] if i + 1 < size else 0
                    line.append((hi << 4) | lo)
        line += bytes(stride - len(line))
        body += line
    return header + bytes(body) + and_mask(rows)


def ico_bytes(entries):
    """entries: list of (size, bits, data)."""
    out = struct.pack("<HHH", 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    directory = b""
    for size, bits, data in entries:
        colours = 16 if bits == 4 else 0
        dim = 0 if size >= 256 else size
        directory += struct.pack("<BBBBHHII", dim, dim, colours, 0, 1, bits, len(data), offset)
        offset += len(data)
    return out + directory + b"".join(d for _, _, d in entries)


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    outdir = os.path.join(root, "src", "ui", "images")
    os.makedirs(outdir, exist_ok=True)

    cache = {}

    def pic(size):
        if size not in cache:
            cache[size] = render(size)
        return cache[size]

    with open(os.path.join(outdir, "corvane_logo.png"), "wb") as f:
        f.write(png_bytes(pic(48)))

    entries = []
    for bits in (32, 8):
        for size in (16, 24, 32, 48):
            entries.append((size, bits, dib_bytes(pic(size), bits)))
    entries.append((16, 4, dib_bytes(pic(16), 4)))
    entries.append((256, 32, png_bytes(pic(256))))
    with open(os.path.join(outdir, "application.ico"), "wb") as f:
        f.write(ico_bytes(entries))
    return 0


if __name__ == "__main__":
    sys.exit(main())
