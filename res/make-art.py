#!/usr/bin/env python3
"""Draws the window program's pictures: the program icon, the volume-tree
images, the tree's watermark and the splitter cursor.

Usage: make-art.py OUT_DIR

Every picture is a list of shapes in a 0..1 square, rendered with 4x4
supersampling into 32-bit BGRA with straight alpha, then written as .bmp
(bottom-up, BI_RGB, 32 bits), .ico or .cur. No imaging library is needed.
"""
import os
import struct
import sys

TEAL = (0, 125, 140)
DARK = (40, 52, 64)
WHITE = (255, 255, 255)
PAPER = (246, 248, 250)
FOLDER = (236, 184, 64)
FOLDER_DARK = (200, 146, 36)
RED = (206, 48, 48)
GREEN = (46, 160, 80)
GREY = (150, 160, 170)
SCREEN = (70, 150, 210)


def rect(x0, y0, x1, y1, color, radius=0.0):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        if radius <= 0:
            return True
        cx = min(max(x, x0 + radius), x1 - radius)
        cy = min(max(y, y0 + radius), y1 - radius)
        return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2
    return inside, color


def circle(cx, cy, r, color):
    return (lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r), color


def ring(cx, cy, r0, r1, color):
    return (lambda x, y: r0 * r0 <= (x - cx) ** 2 + (y - cy) ** 2 <= r1 * r1), color


def polygon(points, color):
    def inside(x, y):
        n, hit = len(points), False
        for i in range(n):
            (ax, ay), (bx, by) = points[i], points[(i + 1) % n]
            if (ay > y) != (by > y) and x < (bx - ax) * (y - ay) / (by - ay) + ax:
                hit = not hit
        return hit
    return inside, color


def line(ax, ay, bx, by, width, color):
    def inside(x, y):
        dx, dy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
        px, py = ax + t * dx, ay + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= (width / 2) ** 2
    return inside, color


def render(shapes, w, h, alpha=255):
    """Rows top-down of (b, g, r, a)."""
    n = 4
    rows = []
    for py in range(h):
        row = []
        for px in range(w):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(n):
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) / w
                    y = (py + (sy + 0.5) / n) / h
                    color = None
                    for inside, c in shapes:
                        if inside(x, y):
                            color = c
                    if color is not None:
                        acc[0] += color[0]
                        acc[1] += color[1]
                        acc[2] += color[2]
                        acc[3] += 1
            if acc[3] == 0:
                row.append((0, 0, 0, 0))
            else:
                k = acc[3]
                r, g, b = (int(acc[i] / k + 0.5) for i in range(3))
                row.append((b, g, r, int(alpha * k / (n * n) + 0.5)))
        rows.append(row)
    return rows


def dib(rows, mask_rows=True):
    """BITMAPINFOHEADER + bottom-up 32-bit pixels (+ AND mask for icons)."""
    h, w = len(rows), len(rows[0])
    height = h * 2 if mask_rows else h
    header = struct.pack("<IiiHHIIiiII", 40, w, height, 1, 32, 0, w * h * 4, 2835, 2835, 0, 0)
    pixels = b"".join(bytes(c for px in row for c in px) for row in reversed(rows))
    if not mask_rows:
        return header, pixels
    stride = ((w + 31) // 32) * 4
    mask = b""
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, px in enumerate(row):
            if px[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header, pixels + mask


def write_bmp(path, rows):
    header, pixels = dib(rows, mask_rows=False)
    with open(path, "wb") as f:
        f.write(struct.pack("<2sIHHI", b"BM", 14 + len(header) + len(pixels), 0, 0, 14 + len(header)))
        f.write(header + pixels)


def write_icon(path, images, kind=1, hotspot=(0, 0)):
    """kind 1 icon, 2 cursor (hotspot in the planes/bit-count fields)."""
    entries, blobs = [], []
    offset = 6 + 16 * len(images)
    for rows in images:
        header, data = dib(rows)
        blob = header + data
        w = len(rows[0])
        a, b = (1, 32) if kind == 1 else hotspot
        entries.append(struct.pack("<BBBBHHII", w % 256, len(rows) % 256, 0, 0, a, b, len(blob), offset))
        blobs.append(blob)
        offset += len(blob)
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, kind, len(images)))
        f.write(b"".join(entries) + b"".join(blobs))


# ---- The pictures --------------------------------------------------------------

def program_icon():
    # A teal tile, a sheet of paper with a folded corner, and a green arrow
    # lifting it back up.
    return [
        rect(0.04, 0.04, 0.96, 0.96, TEAL, 0.18),
        polygon([(0.26, 0.16), (0.58, 0.16), (0.74, 0.32), (0.74, 0.84), (0.26, 0.84)], PAPER),
        polygon([(0.58, 0.16), (0.58, 0.32), (0.74, 0.32)], GREY),
        line(0.34, 0.40, 0.58, 0.40, 0.04, GREY),
        line(0.34, 0.50, 0.66, 0.50, 0.04, GREY),
        circle(0.68, 0.70, 0.22, GREEN),
        polygon([(0.68, 0.54), (0.80, 0.68), (0.72, 0.68), (0.72, 0.84), (0.64, 0.84), (0.64, 0.68),
                 (0.56, 0.68)], WHITE),
    ]


def computer():
    return [rect(0.08, 0.10, 0.92, 0.70, DARK, 0.06), rect(0.15, 0.17, 0.85, 0.62, SCREEN),
            rect(0.42, 0.70, 0.58, 0.82, DARK), rect(0.22, 0.82, 0.78, 0.92, DARK, 0.03)]


def volume():
    return [rect(0.06, 0.30, 0.94, 0.76, GREY, 0.10), rect(0.06, 0.30, 0.94, 0.52, (190, 198, 206), 0.10),
            circle(0.78, 0.62, 0.06, GREEN), line(0.16, 0.62, 0.56, 0.62, 0.06, DARK)]


def folder(open_=False, deleted=False):
    shapes = [polygon([(0.06, 0.22), (0.40, 0.22), (0.48, 0.32), (0.94, 0.32), (0.94, 0.86), (0.06, 0.86)],
                      FOLDER_DARK)]
    if open_:
        shapes.append(polygon([(0.20, 0.44), (0.98, 0.44), (0.84, 0.86), (0.06, 0.86)], FOLDER))
    else:
        shapes.append(rect(0.06, 0.38, 0.94, 0.86, FOLDER))
    if deleted:
        shapes += [line(0.50, 0.50, 0.90, 0.92, 0.12, RED), line(0.90, 0.50, 0.50, 0.92, 0.12, RED)]
    return shapes


def file_():
    return [polygon([(0.20, 0.06), (0.60, 0.06), (0.82, 0.28), (0.82, 0.94), (0.20, 0.94)], DARK),
            polygon([(0.26, 0.12), (0.57, 0.12), (0.76, 0.31), (0.76, 0.88), (0.26, 0.88)], PAPER),
            polygon([(0.57, 0.12), (0.57, 0.31), (0.76, 0.31)], GREY)]


def condition(badge):
    # The file with a badge at its bottom right telling what is left of it.
    shapes = file_()
    if badge == "unknown":
        return shapes
    colors = {"whole": GREEN, "partly": (232, 150, 30), "overwritten": RED, "guessed": SCREEN,
              "zeroed": GREY, "truncated": (232, 150, 30)}
    shapes += [circle(0.70, 0.70, 0.30, WHITE), circle(0.70, 0.70, 0.25, colors[badge])]
    if badge == "whole":
        shapes += [line(0.56, 0.71, 0.67, 0.82, 0.08, WHITE), line(0.67, 0.82, 0.85, 0.60, 0.08, WHITE)]
    elif badge == "partly":
        shapes.append(polygon([(0.70, 0.45), (0.70, 0.95), (0.45, 0.70)], WHITE))
    elif badge == "overwritten":
        shapes += [line(0.58, 0.58, 0.82, 0.82, 0.08, WHITE), line(0.82, 0.58, 0.58, 0.82, 0.08, WHITE)]
    elif badge == "guessed":
        shapes += [ring(0.70, 0.64, 0.07, 0.13, WHITE), rect(0.66, 0.80, 0.74, 0.86, WHITE)]
    elif badge == "zeroed":
        shapes.append(ring(0.70, 0.70, 0.08, 0.15, WHITE))
    elif badge == "truncated":
        shapes.append(rect(0.56, 0.66, 0.84, 0.74, WHITE))
    return shapes


def watermark():
    # A large faint paper-and-arrow mark for the tree's bottom right.
    return [polygon([(0.18, 0.10), (0.62, 0.10), (0.84, 0.26), (0.84, 0.80), (0.18, 0.80)], (226, 234, 238)),
            polygon([(0.62, 0.10), (0.62, 0.26), (0.84, 0.26)], (208, 218, 224)),
            circle(0.70, 0.78, 0.18, (214, 232, 222)),
            polygon([(0.70, 0.66), (0.80, 0.78), (0.74, 0.78), (0.74, 0.90), (0.66, 0.90), (0.66, 0.78),
                     (0.60, 0.78)], (246, 250, 248))]


def splitter_cursor():
    # A double-headed horizontal arrow with a bar, outlined in white.
    def arrow(color, grow):
        g = grow
        return [polygon([(0.06 - g, 0.50), (0.30 + g, 0.30 - 1.4 * g), (0.30 + g, 0.70 + 1.4 * g)], color),
                polygon([(0.94 + g, 0.50), (0.70 - g, 0.30 - 1.4 * g), (0.70 - g, 0.70 + 1.4 * g)], color),
                rect(0.25 - g, 0.45 - g, 0.75 + g, 0.55 + g, color),
                rect(0.44 - g, 0.20 - g, 0.56 + g, 0.80 + g, color)]
    return arrow(WHITE, 0.035) + arrow((0, 0, 0), 0.0)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    write_icon(os.path.join(out, "quorvex.ico"),
               [render(program_icon(), s, s) for s in (48, 32, 16)])
    for name, shapes in (("tree-computer", computer()), ("tree-volume", volume()),
                         ("tree-folder", folder()), ("tree-folder-open", folder(open_=True)),
                         ("tree-folder-deleted", folder(deleted=True)), ("tree-file", file_())):
        write_bmp(os.path.join(out, name + ".bmp"), render(shapes, 16, 16))
    for badge in ("unknown", "whole", "partly", "overwritten", "guessed", "zeroed", "truncated"):
        write_bmp(os.path.join(out, "condition-%s.bmp" % badge), render(condition(badge), 16, 16))
    # The watermark is drawn opaque on white: the tree paints it only where
    # its own drawing is background.
    mark = render([rect(0, 0, 1, 1, WHITE)] + watermark(), 150, 200)
    write_bmp(os.path.join(out, "tree-watermark.bmp"), mark)
    write_icon(os.path.join(out, "splitter.cur"), [render(splitter_cursor(), 32, 32)], kind=2, hotspot=(16, 16))


if __name__ == "__main__":
    main()
