#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Draws the twelve lamp pictures of the signal lamp.

Each picture is a 15 x 15 pixel, 16-colour (4-bit) BMP whose bottom-left pixel
is olive (128, 128, 0): the lamp draws that colour transparent. The shapes are
rendered with supersampling, then reduced to 15 colours plus olive.

Run from anywhere: python3 make_leds.py  (writes the .bmp files beside it).
"""

import math
import os
import struct

SIZE = 15
SUB = 6  # samples per pixel along each axis
OLIVE = (128, 128, 0)

LAMPS = {
    "RED": (235, 30, 25),
    "GREEN": (30, 215, 40),
    "BLUE": (40, 110, 250),
    "YELLOW": (250, 215, 20),
    "PURPLE": (185, 50, 225),
}


def mix(a, b, t):
    t = max(0.0, min(1.0, t))
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def scale(c, f):
    return tuple(min(255.0, v * f) for v in c)


# --- Round lamps ---------------------------------------------------------------

CX, CY = 7.5, 7.5
R_OUT = 7.2   # outer edge of the bezel
R_LAMP = 5.4  # edge of the lens


def lamp_scene(colour, on):
    dark = scale(colour, 0.22)
    dim = mix(scale(colour, 0.38), (60, 60, 60), 0.35)

    def scene(x, y):
        dx, dy = x - CX, y - CY
        d = math.hypot(dx, dy)
        if d > R_OUT:
            return None
        if d > R_LAMP:
            # Bezel: lit from the top left, shaded at the bottom right.
            t = (dx + dy) / (2 * R_OUT) + 0.5
            ring = mix((235, 235, 235), (70, 70, 70), t)
            if d > R_OUT - 0.7:
                ring = scale(ring, 0.65)
            return ring
        # Lens: a radial gradient centred up and to the left.
        hx, hy = CX - 1.8, CY - 1.9
        dh = math.hypot(x - hx, y - hy) / (R_LAMP + 1.5)
        edge = d / R_LAMP
        if on:
            body = mix(mix(colour, (255, 255, 255), 0.45), colour, dh * 1.3)
            body = mix(body, scale(colour, 0.55), max(0.0, edge - 0.75) * 3)
            spot = math.hypot(x - (CX - 1.9), y - (CY - 2.1))
            if spot < 1.3:
                body = mix((255, 255, 255), body, spot / 1.3 * 0.5)
            # A soft reflection at the bottom right of the lens.
            if math.hypot(x - (CX + 2.2), y - (CY + 2.3)) < 1.1:
                body = mix(body, (255, 255, 255), 0.35)
            return body
        body = mix(dim, dark, dh * 1.2)
        body = mix(body, scale(dark, 0.6), max(0.0, edge - 0.75) * 3)
        spot = math.hypot(x - (CX - 1.9), y - (CY - 2.1))
        if spot < 1.1:
            body = mix(body, (150, 150, 150), 0.55 * (1 - spot / 1.1))
        return body

    return scene


# --- Bulb ------------------------------------------------------------------------

BX, BY = 7.5, 6.3   # centre of the glass
BR = 3.6            # radius of the glass


def seg_dist(px, py, ax, ay, bx, by):
    vx, vy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * vx + (py - ay) * vy) / (vx * vx + vy * vy)))
    return math.hypot(px - (ax + t * vx), py - (ay + t * vy))


def in_glass(x, y):
    # A round glass narrowing into the neck above the base.
    if math.hypot(x - BX, y - BY) <= BR:
        return True
    if BY <= y <= 10.6:
        half = BR - (y - BY) * 0.45
        return abs(x - BX) <= max(1.6, half)
    return False


def base(x, y):
    # The screw base: three grey bands under the neck, with a dark tip.
    if 10.6 < y <= 13.2 and abs(x - BX) <= 1.9:
        band = int((y - 10.6) / 0.9)
        return [(190, 190, 190), (120, 120, 120), (170, 170, 170)][min(band, 2)]
    if 13.2 < y <= 14.1 and abs(x - BX) <= 1.0:
        return (55, 55, 55)
    return None


RAYS = [(-90, ), (-30, ), (-150, ), (10, ), (170, ), (-60,), (-120,)]


def glass_mask():
    """Pixels at least half covered by the glass."""
    mask = [[False] * SIZE for _ in range(SIZE)]
    for py in range(SIZE):
        for px in range(SIZE):
            hits = sum(in_glass(px + (sx + 0.5) / SUB, py + (sy + 0.5) / SUB)
                       for sy in range(SUB) for sx in range(SUB))
            mask[py][px] = hits * 2 >= SUB * SUB
    return mask


def bulb_scene(on):
    mask = glass_mask()

    def outline(px, py):
        # A glass pixel next to a pixel outside the glass (the base does not count).
        if not mask[py][px]:
            return False
        for nx, ny in ((px + 1, py), (px - 1, py), (px, py + 1), (px, py - 1)):
            if not (0 <= nx < SIZE and 0 <= ny < SIZE) or not mask[ny][nx]:
                if base(nx + 0.5, ny + 0.5) is None:
                    return True
        return False

    def scene(x, y):
        b = base(x, y)
        if b is not None:
            return b
        px, py = int(x), int(y)
        if on:
            if mask[py][px]:
                if outline(px, py):
                    return (215, 160, 0)
                d = math.hypot(x - (BX - 1.2), y - (BY - 1.3))
                return mix((255, 255, 230), (255, 220, 0), d / 4.2)
            for (angle,) in RAYS:
                a = math.radians(angle)
                r0, r1 = BR + 1.7, BR + 3.4
                ax, ay = BX + r0 * math.cos(a), BY + r0 * math.sin(a)
                bx, by = BX + r1 * math.cos(a), BY + r1 * math.sin(a)
                if seg_dist(x, y, ax, ay, bx, by) < 0.5:
                    return (245, 200, 0)
            return None
        if outline(px, py):
            return (45, 45, 45)
        if mask[py][px] and math.hypot(x - (BX - 1.3), y - (BY - 1.4)) < 0.9:
            return (160, 160, 160)
        return None

    return scene


# --- Rendering and the BMP file ------------------------------------------------------

def render(scene):
    pixels = []
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            acc = [0.0, 0.0, 0.0]
            hits = 0
            for sy in range(SUB):
                for sx in range(SUB):
                    c = scene(px + (sx + 0.5) / SUB, py + (sy + 0.5) / SUB)
                    if c is not None:
                        hits += 1
                        for i in range(3):
                            acc[i] += c[i]
            if hits * 2 >= SUB * SUB:
                row.append(tuple(int(round(v / hits)) for v in acc))
            else:
                row.append(None)
        pixels.append(row)
    # The bottom-left pixel carries the transparent colour.
    pixels[SIZE - 1][0] = None
    return pixels


def dist2(a, b):
    return sum((a[i] - b[i]) ** 2 for i in range(3))


def quantise(pixels, count=15):
    """Reduces the opaque pixels to at most `count` colours (k-means)."""
    colours = sorted({c for row in pixels for c in row if c is not None})
    if len(colours) <= count:
        palette = colours
    else:
        step = len(colours) / count
        palette = [colours[int(i * step)] for i in range(count)]
        for _ in range(30):
            groups = [[] for _ in palette]
            for row in pixels:
                for c in row:
                    if c is not None:
                        k = min(range(len(palette)), key=lambda i: dist2(c, palette[i]))
                        groups[k].append(c)
            palette = [tuple(int(round(sum(c[i] for c in g) / len(g))) for i in range(3)) if g else p
                       for g, p in zip(groups, palette)]
    palette = [OLIVE] + [p for p in palette if p != OLIVE]
    while len(palette) < 16:
        palette.append((0, 0, 0))
    indices = [[0 if c is None else 1 + min(range(15), key=lambda i: dist2(c, palette[1 + i]))
                for c in row] for row in pixels]
    return palette, indices


def write_bmp(path, palette, indices):
    row_bytes = ((SIZE * 4 + 31) // 32) * 4
    data = bytearray()
    for row in reversed(indices):  # BMP rows run bottom-up
        packed = bytearray(row_bytes)
        for x, v in enumerate(row):
            packed[x // 2] |= v << (4 if x % 2 == 0 else 0)
        data += packed
    pal = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette)
    offset = 14 + 40 + len(pal)
    header = struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE, 1, 4, 0, len(data), 2835, 2835, 16, 16)
    with open(path, "wb") as f:
        f.write(header + info + pal + data)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    scenes = {}
    for name, colour in LAMPS.items():
        scenes["LED%sON" % name] = lamp_scene(colour, True)
        scenes["LED%sOFF" % name] = lamp_scene(colour, False)
    scenes["LEDBULBON"] = bulb_scene(True)
    scenes["LEDBULBOFF"] = bulb_scene(False)
    for name, scene in scenes.items():
        palette, indices = quantise(render(scene))
        write_bmp(os.path.join(here, name + ".bmp"), palette, indices)


if __name__ == "__main__":
    main()
