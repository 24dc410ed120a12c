#!/usr/bin/python3
"""Draws the four icons of the Windows program as .ico files.

Usage: make_icons.py OUTDIR

Each icon holds a 32x32 and a 16x16 image, 32 bits per pixel with an
alpha channel and the 1-bit mask older readers need. The shapes are
computed, not painted, so the build needs nothing but Python.
"""
import math
import os
import struct
import sys

SAMPLES = 4  # per axis, for smooth edges


def inside_circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def inside_ring(cx, cy, r_out, r_in):
    return lambda x, y: r_in * r_in <= (x - cx) ** 2 + (y - cy) ** 2 <= r_out * r_out


def inside_polygon(points):
    def test(x, y):
        hit = False
        j = len(points) - 1
        for i, (xi, yi) in enumerate(points):
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                hit = not hit
            j = i
        return hit
    return test


def inside_bar(x0, y0, x1, y1, half_width):
    """A thick line from (x0, y0) to (x1, y1)."""
    dx, dy = x1 - x0, y1 - y0
    length2 = dx * dx + dy * dy

    def test(x, y):
        t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / length2))
        px, py = x0 + t * dx, y0 + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= half_width * half_width
    return test


# Each picture is a list of (shape, (r, g, b)) on a unit square, painted in
# order; later shapes cover earlier ones.
def arrow(up, fill, edge):
    tip, base = (0.08, 0.55) if up else (0.92, 0.45)
    stem0, stem1 = (0.55, 0.92) if up else (0.08, 0.45)
    head = [(0.5, tip), (0.9, base), (0.1, base)]
    stem = [(0.32, stem0), (0.68, stem0), (0.68, stem1), (0.32, stem1)]
    grow = lambda pts, k: [(0.5 + (x - 0.5) * k, 0.5 + (y - 0.5) * k) for x, y in pts]
    return [
        (inside_polygon(grow(head, 1.08)), edge),
        (inside_polygon(grow(stem, 1.08)), edge),
        (inside_polygon(head), fill),
        (inside_polygon(stem), fill),
    ]


PICTURES = {
    # The program: a blue globe with a white Q.
    "aicon_1": [
        (inside_circle(0.5, 0.5, 0.47), (20, 60, 140)),
        (inside_circle(0.5, 0.5, 0.42), (40, 110, 210)),
        (inside_ring(0.47, 0.47, 0.27, 0.16), (255, 255, 255)),
        (inside_bar(0.56, 0.56, 0.78, 0.78, 0.065), (255, 255, 255)),
    ],
    # Local work: a silver disc.
    "disc": [
        (inside_circle(0.5, 0.5, 0.46), (90, 90, 100)),
        (inside_circle(0.5, 0.5, 0.42), (200, 200, 210)),
        (inside_ring(0.5, 0.5, 0.34, 0.26), (225, 225, 240)),
        (inside_circle(0.5, 0.5, 0.13), (90, 90, 100)),
        (inside_circle(0.5, 0.5, 0.08), None),
    ],
    # Sending: a green arrow up.
    "up": arrow(True, (40, 170, 60), (10, 80, 20)),
    # Receiving: a blue arrow down.
    "down": arrow(False, (50, 110, 220), (15, 40, 110)),
}


def render(picture, size):
    """Rows top to bottom of (r, g, b, a) pixels."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = cover = 0.0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) / size
                    y = (py + (sy + 0.5) / SAMPLES) / size
                    colour = None
                    for shape, c in picture:
                        if shape(x, y):
                            colour = c
                    if colour is not None:
                        r, g, b, cover = r + colour[0], g + colour[1], b + colour[2], cover + 1
            n = SAMPLES * SAMPLES
            if cover:
                row.append((round(r / cover), round(g / cover), round(b / cover),
                            round(255 * cover / n)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def dib(rows):
    """The icon image: BITMAPINFOHEADER, bottom-up BGRA pixels, AND mask."""
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    mask = bytearray()
    mask_stride = ((size + 31) // 32) * 4
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (r, g, b, a) in enumerate(row):
            pixels += bytes((b, g, r, a))
            if a < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(pixels) + bytes(mask)


def ico(picture, sizes=(32, 16)):
    images = [dib(render(picture, s)) for s in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for s, image in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    for image in images:
        out += image
    return bytes(out)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_icons.py OUTDIR\n")
        return 2
    outdir = argv[1]
    os.makedirs(outdir, exist_ok=True)
    for name, picture in PICTURES.items():
        path = os.path.join(outdir, name + ".ico")
        data = ico(picture)
        tmp = path + ".tmp"
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
