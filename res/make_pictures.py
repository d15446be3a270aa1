#!/usr/bin/env python3
"""Draws Velkin's pictures: the window's telegraph key (telegraph_key.bmp,
330 x 247, 24 bits per pixel) and the program icon (velkin.ico, 32 x 32 and
16 x 16 in 16 colours). Standard library only; run it from anywhere and commit
what it writes next to it."""

import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


# --- shapes: each answers whether a point lies inside and what colour it has


def lerp(a, b, t):
    t = max(0.0, min(1.0, t))
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def shade(color, factor):
    return tuple(max(0.0, min(255.0, c * factor)) for c in color)


class Polygon:
    def __init__(self, points, paint):
        self.points, self.paint = points, paint
        xs, ys = zip(*points)
        self.box = (min(xs), min(ys), max(xs), max(ys))

    def contains(self, x, y):
        inside = False
        pts = self.points
        for (x1, y1), (x2, y2) in zip(pts, pts[1:] + pts[:1]):
            if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
                inside = not inside
        return inside


class Ellipse:
    def __init__(self, cx, cy, rx, ry, paint):
        self.cx, self.cy, self.rx, self.ry, self.paint = cx, cy, rx, ry, paint
        self.box = (cx - rx, cy - ry, cx + rx, cy + ry)

    def contains(self, x, y):
        return ((x - self.cx) / self.rx) ** 2 + ((y - self.cy) / self.ry) ** 2 <= 1.0


def rect(x0, y0, x1, y1, paint):
    return Polygon([(x0, y0), (x1, y0), (x1, y1), (x0, y1)], paint)


def cylinder(cx, top, bottom, radius, metal):
    """An upright post seen slightly from above: body, then its lit top face."""
    def body(x, y):
        t = (x - (cx - radius)) / (2 * radius)
        return shade(metal, 0.55 + 0.75 * math.sin(math.pi * min(1.0, max(0.0, t)) * 0.9 + 0.2))
    return [
        Ellipse(cx, bottom, radius, radius * 0.35, lambda x, y: shade(metal, 0.45)),
        rect(cx - radius, top, cx + radius, bottom, body),
        Ellipse(cx, top, radius, radius * 0.35, lambda x, y: shade(metal, 1.25)),
    ]


def render(shapes, width, height, background, samples=3):
    """Averages samples x samples points per pixel; later shapes lie on top."""
    rows = []
    offsets = [(i + 0.5) / samples for i in range(samples)]
    for py in range(height):
        row = []
        live = [s for s in shapes if s.box[1] <= py + 1 and s.box[3] >= py]
        for px in range(width):
            here = [s for s in live if s.box[0] <= px + 1 and s.box[2] >= px]
            total = [0.0, 0.0, 0.0]
            for oy in offsets:
                for ox in offsets:
                    x, y = px + ox, py + oy
                    color = None
                    for s in reversed(here):
                        if s.contains(x, y):
                            color = s.paint(x, y)
                            break
                    if color is None:
                        color = background(x, y)
                    for i in range(3):
                        total[i] += color[i]
            row.append(tuple(int(round(c / samples ** 2)) for c in total))
        rows.append(row)
    return rows


# --- the telegraph key

BRASS = (214, 170, 80)
STEEL = (170, 175, 185)
EBONY = (28, 26, 30)
WOOD = (120, 66, 34)


def wood(x, y):
    grain = math.sin(x * 0.09 + math.sin(y * 0.21) * 2.2) * 0.08 + math.sin(x * 0.5 + y * 0.05) * 0.03
    return shade(WOOD, 1.0 + grain)


def key_shapes(s=1.0, ox=0.0, oy=0.0):
    """The key at scale s, shifted by (ox, oy); drawn back to front."""
    def P(x, y):
        return (ox + x * s, oy + y * s)

    def E(cx, cy, rx, ry, paint):
        return Ellipse(ox + cx * s, oy + cy * s, rx * s, ry * s, paint)

    shapes = []
    # Wooden base: top face and front face.
    shapes.append(Polygon([P(40, 150), P(300, 150), P(318, 190), P(22, 190)], wood))
    shapes.append(Polygon([P(22, 190), P(318, 190), P(318, 206), P(22, 206)],
                          lambda x, y: shade(wood(x, y), 0.6)))
    # Brass base plate.
    shapes.append(Polygon([P(70, 156), P(280, 156), P(290, 182), P(60, 182)],
                          lambda x, y: lerp(shade(BRASS, 1.15), shade(BRASS, 0.8), (y - oy - 156 * s) / (26 * s))))
    # Binding posts at the back right, the trunnion pillars, the front contact.
    for cx in (252, 276):
        shapes += cylinder_scaled(P, s, cx, 150, 166, 6, BRASS)
    for cx in (196, 232):
        shapes += cylinder_scaled(P, s, cx, 112, 168, 7, BRASS)
    shapes += cylinder_scaled(P, s, 112, 140, 172, 5, STEEL)
    # The lever, tapering toward the knob, and its pivot.
    shapes.append(Polygon([P(90, 114), P(262, 106), P(262, 120), P(90, 122)],
                          lambda x, y: lerp(shade(BRASS, 1.35), shade(BRASS, 0.7), (y - oy - 106 * s) / (16 * s))))
    shapes.append(E(214, 114, 9, 9, lambda x, y: shade(STEEL, 1.1)))
    shapes.append(E(214, 114, 3.5, 3.5, lambda x, y: shade(STEEL, 0.5)))
    # Spring adjusting screw behind the pivot.
    shapes += cylinder_scaled(P, s, 250, 92, 108, 4, STEEL)
    # Knob: ebony skirt and cap with a highlight.
    shapes.append(E(96, 108, 30, 9, lambda x, y: shade(EBONY, 1.6)))
    shapes.append(Polygon([P(74, 82), P(118, 82), P(122, 104), P(70, 104)],
                          lambda x, y: shade(EBONY, 1.0 + 1.2 * max(0.0, 1 - abs(x - ox - 86 * s) / (10 * s)))))
    shapes.append(E(96, 82, 22, 7, lambda x, y: shade(EBONY, 2.0)))
    shapes.append(E(90, 81, 8, 2.5, lambda x, y: (140, 140, 150)))
    return shapes


def cylinder_scaled(P, s, cx, top, bottom, radius, metal):
    x0, y0 = P(cx, top)
    _, y1 = P(cx, bottom)
    return cylinder(x0, y0, y1, radius * s, metal)


def lamp_socket(cx, cy):
    """A dark bezel and unlit glass where the window lights its lamp."""
    return [
        Ellipse(cx, cy, 14, 14, lambda x, y: (60, 60, 64)),
        Ellipse(cx, cy, 12, 12, lambda x, y: (24, 24, 26)),
        Ellipse(cx, cy, 10, 10, lambda x, y: lerp((20, 70, 24), (6, 30, 8), math.hypot(x - cx + 3, y - cy + 3) / 12)),
    ]


def wall(x, y):
    return lerp((52, 62, 74), (18, 22, 28), y / 200 + abs(x - 165) / 900)


def desk(x, y):
    return lerp((64, 44, 30), (38, 26, 18), (y - 196) / 50)


def window_picture():
    width, height = 330, 247
    shadow = Ellipse(172, 206, 162, 14, lambda x, y: (26, 18, 12))
    shapes = [shadow] + key_shapes() + lamp_socket(20, 227)
    return render(shapes, width, height, lambda x, y: wall(x, y) if y < 196 else desk(x, y))


# --- the icon, in the 16 colours of the standard palette

PALETTE16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
TRANSPARENT = (255, 0, 255)


def icon_picture(size):
    """A plain drawing on a 32-unit grid, one sample per pixel, so every pixel
    is exactly one of the palette's colours."""
    u = size / 32.0

    def P(x, y):
        return (x * u, y * u)

    def flat(color):
        return lambda x, y: color

    black, maroon, olive, yellow, grey, green = (PALETTE16[i] for i in (0, 1, 3, 11, 8, 10))
    shapes = [
        Polygon([P(4, 22), P(28, 22), P(31, 29), P(1, 29)], flat(maroon)),
        Polygon([P(7, 23), P(25, 23), P(27, 27), P(5, 27)], flat(olive)),
        rect(19 * u, 14 * u, 23 * u, 25 * u, flat(olive)),
        Polygon([P(6, 15), P(28, 12), P(28, 16), P(6, 18)], flat(yellow)),
        Ellipse(10 * u, 16 * u, 7 * u, 2 * u, flat(black)),
        rect(5 * u, 9 * u, 15 * u, 16 * u, flat(black)),
        Ellipse(10 * u, 9 * u, 5 * u, 2 * u, flat(grey)),
        Ellipse(26 * u, 6 * u, 5 * u, 5 * u, flat(black)),
        Ellipse(26 * u, 6 * u, 4 * u, 4 * u, flat(green)),
    ]
    return render(shapes, size, size, flat(TRANSPARENT), samples=1)


def nearest(color):
    return min(range(16), key=lambda i: sum((a - b) ** 2 for a, b in zip(PALETTE16[i], color)))


def icon_image(rows):
    size = len(rows)
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor, mask = bytearray(), bytearray()
    for row in reversed(rows):  # bottom-up
        opaque = [c != TRANSPARENT for c in row]
        indices = [nearest(c) if o else 0 for c, o in zip(row, opaque)]
        line = bytearray((indices[i] << 4) | indices[i + 1] for i in range(0, size, 2))
        xor += line + bytes(xor_stride - len(line))
        bits = bytearray(and_stride)
        for x, o in enumerate(opaque):
            if not o:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE16)
    return header + palette + bytes(xor) + bytes(mask)


def write_ico(path, sizes):
    images = [icon_image(icon_picture(n)) for n in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, image in zip(sizes, images):
        out += struct.pack("<BBBBHHII", n, n, 16, 0, 1, 4, len(image), offset)
        offset += len(image)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


def write_bmp(path, rows):
    height, width = len(rows), len(rows[0])
    stride = (width * 3 + 3) & ~3
    pixels = bytearray()
    for row in reversed(rows):  # bottom-up
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        pixels += line + bytes(stride - len(line))
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    with open(path, "wb") as f:
        f.write(head + info + pixels)


if __name__ == "__main__":
    write_bmp(os.path.join(HERE, "telegraph_key.bmp"), window_picture())
    write_ico(os.path.join(HERE, "velkin.ico"), [32, 16])
