#!/usr/bin/env python3
"""Draws the program's icons (a meter dial on a rounded square) as PNG files.

Run it after changing the artwork; the PNG files it writes are kept in the repository:
    scripts/draw-icons.py src/resources/images
"""

import math
import os
import struct
import sys
import zlib

SAMPLES = 4  # per axis, for smooth edges


def rounded_square(x, y, radius):
    """Signed distance to the square [0.06, 0.94]^2 with rounded corners (negative inside)."""
    qx = abs(x - 0.5) - (0.44 - radius)
    qy = abs(y - 0.5) - (0.44 - radius)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def capsule(x, y, ax, ay, bx, by, r):
    px, py, dx, dy = x - ax, y - ay, bx - ax, by - ay
    t = max(0.0, min(1.0, (px * dx + py * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - t * dx, py - t * dy) - r


def arc(x, y, cx, cy, radius, width, start, end):
    """Distance to a ring segment between the angles start..end (radians, counter-clockwise)."""
    angle = math.atan2(cy - y, x - cx) % (2 * math.pi)
    if start <= angle <= end:
        return abs(math.hypot(x - cx, y - cy) - radius) - width / 2
    ends = [(cx + radius * math.cos(a), cy - radius * math.sin(a)) for a in (start, end)]
    return min(math.hypot(x - ex, y - ey) for ex, ey in ends) - width / 2


def pixel(x, y, back, accent):
    """The colour (r, g, b, a) at the point (x, y) of the unit square."""
    if rounded_square(x, y, 0.16) > 0:
        return None
    cx, cy = 0.5, 0.6
    if arc(x, y, cx, cy, 0.3, 0.07, math.radians(20), math.radians(160)) < 0:
        return (255, 255, 255, 255)
    if arc(x, y, cx, cy, 0.3, 0.07, math.radians(20), math.radians(55)) < 0:
        return accent + (255,)
    needle = math.radians(60)
    if capsule(x, y, cx, cy, cx + 0.26 * math.cos(needle), cy - 0.26 * math.sin(needle), 0.03) < 0:
        return accent + (255,)
    if math.hypot(x - cx, y - cy) < 0.07:
        return (255, 255, 255, 255)
    if capsule(x, y, 0.3, 0.8, 0.7, 0.8, 0.025) < 0:
        return (255, 255, 255, 200)
    return back + (255,)


def draw(size, back, accent):
    rows = []
    for j in range(size):
        row = bytearray([0])
        for i in range(size):
            acc = [0, 0, 0, 0]
            for sj in range(SAMPLES):
                for si in range(SAMPLES):
                    c = pixel((i + (si + 0.5) / SAMPLES) / size, (j + (sj + 0.5) / SAMPLES) / size,
                              back, accent)
                    if c:
                        a = c[3]
                        for k in range(3):
                            acc[k] += c[k] * a
                        acc[3] += a
            n = SAMPLES * SAMPLES
            alpha = acc[3] / n
            rgb = [int(round(acc[k] / acc[3])) if acc[3] else 0 for k in range(3)]
            row += bytes(rgb + [int(round(alpha))])
        rows.append(bytes(row))
    return png(size, size, b"".join(rows))


def png(width, height, raw):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


ICONS = {
    # name: (size, background, accent)
    "tray_icon3.png": (64, (38, 84, 140), (255, 196, 40)),
    "tray_icon3_brimat.png": (64, (0, 121, 107), (255, 196, 40)),
    "app_icon.png": (256, (0, 121, 107), (255, 196, 40)),
}

if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    for name, (size, back, accent) in ICONS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(draw(size, back, accent))
