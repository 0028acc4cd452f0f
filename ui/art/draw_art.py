#!/usr/bin/python3
"""Draws every picture of the launcher window.

    draw_art.py OUTDIR                 write all pictures into OUTDIR (and check them)
    draw_art.py --check OUTDIR         only check the pictures already in OUTDIR
    draw_art.py OUTDIR --preview P.png also write a composite of the window's views

Only PIL and the standard library are used. Every random choice comes from a
seeded generator, so two runs give byte-identical files.
"""

import argparse
import math
import os
import random
import struct
import sys

from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageFont, ImageOps

# The window's outline is cut out of the background wherever this colour
# appears, so it must appear in the frame and nowhere else.
KEY = (9, 255, 0)
BG_W, BG_H = 993, 521
MENU_GROUND = (212, 208, 200)
BAR_GROUND = (0x11, 0x0D, 0x0A)

# name -> (width, height, kind); kind "bmp24", "png" (RGBA) or "ico"
PICTURES = {
    "background.bmp": (993, 521, "bmp24"),
    "frame.png": (180, 147, "png"),
    "trough.png": (960, 30, "png"),
    "bar_total.bmp": (940, 15, "bmp24"),
    "bar_file.bmp": (235, 18, "bmp24"),
    "btn_check_normal.png": (290, 48, "png"),
    "btn_check_hover.png": (290, 48, "png"),
    "btn_check_down.png": (290, 48, "png"),
    "btn_play_normal.png": (290, 98, "png"),
    "btn_play_hover.png": (290, 98, "png"),
    "btn_play_down.png": (290, 98, "png"),
    "btn_exit_normal.png": (120, 40, "png"),
    "btn_exit_down.png": (120, 40, "png"),
    "btn_min_normal.png": (120, 40, "png"),
    "btn_min_down.png": (120, 40, "png"),
    "btn_web_normal.png": (120, 40, "png"),
    "btn_web_down.png": (120, 40, "png"),
    "btn_forum_normal.png": (120, 40, "png"),
    "btn_forum_down.png": (120, 40, "png"),
    "skull.png": (244, 97, "png"),
    "notice.png": (480, 75, "png"),
    "icon.ico": (32, 32, "ico"),
    "menu_restore.bmp": (24, 24, "bmp24"),
    "menu_minimise.bmp": (24, 24, "bmp24"),
    "menu_close.bmp": (24, 24, "bmp24"),
}

# Controls that carry a picture smaller than the picture itself: what the
# window shows of it.
PLAY_VISIBLE = (285, 90)
NOTICE_VISIBLE = (350, 75)
FRAME_VISIBLE = (177, 147)

# ---------------------------------------------------------------- helpers

FONT_DIRS = (
    "/usr/share/fonts/truetype/dejavu",
    "/usr/share/fonts/dejavu",
    "/usr/share/fonts/TTF",
    "/usr/share/fonts/truetype",
    "/usr/local/share/fonts",
    "/usr/share/fonts",
)
_fonts = {}


def font(name, size):
    """A TrueType font by file name, or PIL's built-in one when none is installed."""
    key = (name, size)
    if key not in _fonts:
        found = None
        for d in FONT_DIRS:
            p = os.path.join(d, name)
            if os.path.isfile(p):
                found = ImageFont.truetype(p, size)
                break
        if found is None:
            # the built-in bitmap font has one size; text_mask scales it up
            found = ImageFont.load_default()
            found.wanted_size = size
        _fonts[key] = found
    return _fonts[key]


SERIF_BOLD = "DejaVuSerif-Bold.ttf"
SERIF_BOLD_COND = "DejaVuSerifCondensed-Bold.ttf"
SERIF = "DejaVuSerif.ttf"


def mix(c1, c2, t):
    t = max(0.0, min(1.0, t))
    return tuple(int(round(a + (b - a) * t)) for a, b in zip(c1, c2))


def scale_col(c, f):
    return tuple(max(0, min(255, int(round(v * f)))) for v in c[:3]) + tuple(c[3:])


def sample_stops(stops, t):
    if t <= stops[0][0]:
        return stops[0][1]
    for (p0, c0), (p1, c1) in zip(stops, stops[1:]):
        if t <= p1:
            return mix(c0, c1, (t - p0) / (p1 - p0) if p1 > p0 else 1.0)
    return stops[-1][1]


def vgradient(w, h, stops, y0=0, y1=None, mode="RGB"):
    """Rows coloured by stops over y0..y1 (clamped outside)."""
    y1 = h - 1 if y1 is None else y1
    col = Image.new(mode, (1, h))
    px = col.load()
    for y in range(h):
        px[0, y] = sample_stops(stops, (y - y0) / max(1e-6, y1 - y0))
    return col.resize((w, h), Image.NEAREST)


def hgradient(w, h, stops, mode="RGB"):
    row = Image.new(mode, (w, 1))
    px = row.load()
    for x in range(w):
        px[x, 0] = sample_stops(stops, x / max(1, w - 1))
    return row.resize((w, h), Image.NEAREST)


def value_noise(w, h, cw, ch, rng):
    small = Image.frombytes("L", (cw, ch), bytes(rng.randrange(256) for _ in range(cw * ch)))
    return small.resize((w, h), Image.BICUBIC)


def fractal_noise(w, h, rng, base=(4, 2), octaves=5, persistence=0.55):
    cw, ch = base
    img = value_noise(w, h, cw, ch, rng)
    total, amp = 1.0, 1.0
    for _ in range(1, octaves):
        cw, ch = cw * 2, ch * 2
        amp *= persistence
        total += amp
        img = Image.blend(img, value_noise(w, h, cw, ch, rng), amp / total)
    return ImageOps.autocontrast(img)


def curve(img, lo, hi, gamma=1.0, top=255):
    """Maps lo..hi to 0..top, with a gamma."""
    def f(v):
        t = (v - lo) / float(hi - lo)
        t = max(0.0, min(1.0, t))
        return int(round(top * t ** gamma))
    return img.point([f(v) for v in range(256)])


def scale_mask(mask, f):
    return mask.point([min(255, int(round(v * f))) for v in range(256)])


def paint(dst, mask, src, opacity=1.0):
    """Composites a colour or an image through mask onto the RGBA image dst."""
    if isinstance(src, tuple):
        alpha = mask if len(src) == 3 else scale_mask(mask, src[3] / 255.0)
        layer = Image.new("RGBA", dst.size, src[:3] + (255,))
    else:
        layer = src.convert("RGBA")
        alpha = mask
        if src.mode == "RGBA":
            alpha = ImageChops.multiply(alpha, src.getchannel("A"))
    if opacity != 1.0:
        alpha = scale_mask(alpha, opacity)
    layer.putalpha(alpha)
    dst.alpha_composite(layer)


def new_mask(size, fill=0):
    return Image.new("L", size, fill)


def poly_mask(size, pts, fill=255):
    m = new_mask(size)
    ImageDraw.Draw(m).polygon(pts, fill=fill)
    return m


def shift(img, dx, dy):
    """Moves an image without wrapping; the uncovered part is empty."""
    out = Image.new(img.mode, img.size, 0)
    out.paste(img, (int(dx), int(dy)))
    return out


def dilate(mask, r):
    """Cheap dilation: a blur whose faint rim is pushed up to full."""
    return scale_mask(mask.filter(ImageFilter.GaussianBlur(r)), 6.0)


def ellipse_poly(cx, cy, rx, ry, n=28, rot=0.0):
    c, s = math.cos(rot), math.sin(rot)
    pts = []
    for i in range(n):
        a = 2 * math.pi * i / n
        x, y = rx * math.cos(a), ry * math.sin(a)
        pts.append((cx + x * c - y * s, cy + x * s + y * c))
    return pts


def rrect_poly(x0, y0, x1, y1, r, seg=10):
    r = max(0.0, min(r, (x1 - x0) / 2.0, (y1 - y0) / 2.0))
    pts = []
    for cx, cy, a0 in ((x1 - r, y0 + r, -90), (x1 - r, y1 - r, 0),
                       (x0 + r, y1 - r, 90), (x0 + r, y0 + r, 180)):
        for i in range(seg + 1):
            a = math.radians(a0 + 90.0 * i / seg)
            pts.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    return pts


def inset_poly(poly, d):
    """Offsets a convex polygon inwards by d (outwards when d < 0)."""
    pts = []
    for p in poly:
        if not pts or math.hypot(p[0] - pts[-1][0], p[1] - pts[-1][1]) > 1e-6:
            pts.append(p)
    if math.hypot(pts[0][0] - pts[-1][0], pts[0][1] - pts[-1][1]) <= 1e-6:
        pts.pop()
    n = len(pts)
    area = sum(pts[i][0] * pts[(i + 1) % n][1] - pts[(i + 1) % n][0] * pts[i][1] for i in range(n))
    sgn = 1.0 if area > 0 else -1.0
    lines = []
    for i in range(n):
        (x0, y0), (x1, y1) = pts[i], pts[(i + 1) % n]
        dx, dy = x1 - x0, y1 - y0
        ln = math.hypot(dx, dy)
        nx, ny = -dy / ln * sgn, dx / ln * sgn
        lines.append((x0 + nx * d, y0 + ny * d, dx, dy, nx, ny))
    out = []
    for i in range(n):
        ax, ay, adx, ady, _, _ = lines[i - 1]
        bx, by, bdx, bdy, nx, ny = lines[i]
        cross = adx * bdy - ady * bdx
        if abs(cross) < 1e-9:
            out.append((pts[i][0] + nx * d, pts[i][1] + ny * d))
        else:
            t = ((bx - ax) * bdy - (by - ay) * bdx) / cross
            out.append((ax + adx * t, ay + ady * t))
    return out


def bezier(p0, p1, p2, p3, n):
    pts = []
    for i in range(n + 1):
        t = i / float(n)
        u = 1 - t
        pts.append((u ** 3 * p0[0] + 3 * u * u * t * p1[0] + 3 * u * t * t * p2[0] + t ** 3 * p3[0],
                    u ** 3 * p0[1] + 3 * u * u * t * p1[1] + 3 * u * t * t * p2[1] + t ** 3 * p3[1]))
    return pts


def quad(p0, c, p1, n=8):
    pts = []
    for i in range(1, n + 1):
        t = i / float(n)
        u = 1 - t
        pts.append((u * u * p0[0] + 2 * u * t * c[0] + t * t * p1[0],
                    u * u * p0[1] + 2 * u * t * c[1] + t * t * p1[1]))
    return pts


def thick_path(draw, pts, widths, fill):
    """A stroke of varying width, stamped as discs and joined quads."""
    for i in range(len(pts) - 1):
        (x0, y0), (x1, y1) = pts[i], pts[i + 1]
        w0, w1 = widths[i] / 2.0, widths[i + 1] / 2.0
        dx, dy = x1 - x0, y1 - y0
        ln = math.hypot(dx, dy) or 1.0
        nx, ny = -dy / ln, dx / ln
        draw.polygon([(x0 + nx * w0, y0 + ny * w0), (x1 + nx * w1, y1 + ny * w1),
                      (x1 - nx * w1, y1 - ny * w1), (x0 - nx * w0, y0 - ny * w0)], fill=fill)
    for (x, y), w in zip(pts, widths):
        r = w / 2.0
        draw.ellipse((x - r, y - r, x + r, y + r), fill=fill)


def text_mask(size, xy, text, fnt, anchor="mm", spacing=0):
    """Mask of a text placed by its inked box: anchor is "l", "m" or "r"
    horizontally and "m" vertically; spacing > 0 spreads the letters."""
    wanted = getattr(fnt, "wanted_size", None)
    if wanted is not None:
        # bitmap font: draw it at its own size, then enlarge the mask
        probe = ImageDraw.Draw(new_mask((1, 1)))
        left, top, right, bottom = probe.textbbox((0, 0), "Ag", font=fnt)
        k = max(1.0, wanted * 0.9 / max(1, bottom - top))
        small = text_mask((int(size[0] / k) + 1, int(size[1] / k) + 1), (xy[0] / k, xy[1] / k), text,
                          ImageFont.load_default(), anchor, spacing / k)
        return small.resize((int(small.width * k), int(small.height * k)), Image.BICUBIC).crop(
            (0, 0) + tuple(size))
    m = new_mask(size)
    d = ImageDraw.Draw(m)
    left, top, right, bottom = d.textbbox((0, 0), text, font=fnt)
    if spacing > 0:
        widths = [d.textlength(ch, font=fnt) for ch in text]
        total = sum(widths) + spacing * (len(text) - 1)
    else:
        total = right - left
    x = {"l": xy[0], "r": xy[0] - total}.get(anchor[0], xy[0] - total / 2.0)
    y = xy[1] - (top + bottom) / 2.0
    if spacing <= 0:
        d.text((x - left, y), text, font=fnt, fill=255)
        return m
    for ch, w in zip(text, widths):
        d.text((x, y), ch, font=fnt, fill=255)
        x += w + spacing
    return m


def fancy_text(dst, mask, fill_stops, outline=(10, 8, 4), outline_r=1.0,
               shadow=(0, 0, 0), shadow_off=(1.0, 2.0), shadow_r=1.5, shadow_op=0.85,
               glow=None, glow_r=6.0, S=1):
    """Text with a drop shadow, a dark outline, an optional glow and a gradient fill."""
    bbox = mask.getbbox()
    if bbox is None:
        return
    w, h = dst.size
    if glow is not None:
        paint(dst, scale_mask(mask.filter(ImageFilter.GaussianBlur(glow_r * S)), 2.2), glow)
    if shadow is not None:
        sh = shift(mask, shadow_off[0] * S, shadow_off[1] * S)
        paint(dst, dilate(sh, shadow_r * S * 0.6), shadow, shadow_op)
    if outline is not None:
        paint(dst, dilate(mask, outline_r * S * 0.55), outline)
    grad = vgradient(w, h, fill_stops, bbox[1], bbox[3])
    paint(dst, mask, grad)


def downsample(img, size):
    return img.resize(size, Image.LANCZOS)


# ---------------------------------------------------------------- background

def ridge_line(w, amp, rough, rng):
    """1-D midpoint displacement, w samples."""
    n = 1
    while n < w:
        n *= 2
    ys = [0.0] * (n + 1)
    ys[0], ys[n] = rng.uniform(-amp, amp), rng.uniform(-amp, amp)
    step, sc = n, amp
    while step > 1:
        half = step // 2
        for i in range(half, n, step):
            ys[i] = (ys[i - half] + ys[i + half]) / 2.0 + rng.uniform(-sc, sc)
        step, sc = half, sc * rough
    return [ys[int(round(x * n / float(w - 1)))] for x in range(w)]


def mountain_mask(w, h, base, peaks, amp, rough, rng, S=2):
    noise = ridge_line(w, amp, rough, rng)
    pts = []
    for x in range(0, w, 2):
        y = base + noise[x]
        for px, py, pw in peaks:
            y -= py * max(0.0, 1.0 - abs(x - px) / pw) ** 1.4
        pts.append((x * S, y * S))
    pts.append(((w - 1) * S, pts[-1][1]))
    pts += [(w * S, h * S), (0, h * S)]
    return downsample(poly_mask((w * S, h * S), pts), (w, h))


def draw_castle(d, S, rng):
    """Silhouette of a fortress on a crag, in window coordinates scaled by S."""
    def P(pts):
        return [(x * S, y * S) for x, y in pts]

    crag = [(0, 372), (10, 350), (24, 332), (40, 318), (52, 306), (66, 300), (90, 297),
            (150, 296), (230, 297), (290, 296), (312, 302), (330, 316), (345, 330),
            (362, 346), (384, 362), (410, 380), (410, 521), (0, 521)]
    # walk the outline in small steps, broken up into rock ledges
    jag = [crag[0]]
    for (x0, y0), (x1, y1) in zip(crag[:-3], crag[1:-2]):
        n = max(1, int(math.hypot(x1 - x0, y1 - y0) / 5))
        for i in range(1, n + 1):
            t = i / float(n)
            jag.append((x0 + (x1 - x0) * t + rng.uniform(-1.5, 1.5), y0 + (y1 - y0) * t + rng.uniform(-2.5, 2.5)))
    d.polygon(P(jag + crag[-2:]), fill=255)

    # curtain wall with merlons
    d.rectangle(P([(62, 262), (302, 300)]), fill=255)
    for x in range(62, 302, 9):
        d.rectangle(P([(x, 256), (x + 5, 262)]), fill=255)

    def tower(cx, w, top, roof, roof_h=None):
        d.rectangle(P([(cx - w / 2, top), (cx + w / 2, 300)]), fill=255)
        if roof == "cone":
            rh = roof_h if roof_h else w * 1.4
            d.polygon(P([(cx - w / 2 - 4, top + 2), (cx + w / 2 + 4, top + 2), (cx, top - rh)]), fill=255)
        else:
            d.rectangle(P([(cx - w / 2 - 3, top - 4), (cx + w / 2 + 3, top + 3)]), fill=255)
            step = (w + 6) / 4.0
            for i in range(4):
                x = cx - w / 2 - 3 + i * step
                d.rectangle(P([(x, top - 10), (x + step * 0.55, top - 4)]), fill=255)

    tower(72, 24, 228, "cone")
    tower(118, 20, 214, "crenel")
    # the keep, with its high spire tower
    d.rectangle(P([(150, 196), (222, 300)]), fill=255)
    for x in range(148, 222, 10):
        d.rectangle(P([(x, 188), (x + 6, 196)]), fill=255)
    tower(186, 18, 150, "cone", 48)
    d.line(P([(186, 102), (186, 88)]), fill=255, width=max(1, S))
    d.polygon(P([(187, 88), (199, 91), (195, 94), (200, 97), (187, 96)]), fill=255)
    tower(164, 12, 176, "cone", 20)
    tower(252, 22, 206, "cone")
    tower(292, 26, 232, "crenel")


def warrior(d, S, x, g, h, f, kind, rng):
    """One fighter seen from the side; f = +1 facing right, -1 facing left."""
    def P(pts):
        return [(px * S, py * S) for px, py in pts]

    def line(a, b, w):
        d.line(P([a, b]), fill=255, width=max(1, int(round(w * S))))
        r = w * S / 2.0
        for p in (a, b):
            d.ellipse((p[0] * S - r, p[1] * S - r, p[0] * S + r, p[1] * S + r), fill=255)

    stride = h * rng.uniform(0.12, 0.22)
    hip = (x, g - 0.46 * h)
    line(hip, (x + f * stride, g), 0.09 * h)
    line(hip, (x - f * stride * 0.9, g), 0.09 * h)
    # cloak flowing back
    d.polygon(P([(x - f * 0.05 * h, g - 0.8 * h), (x - f * 0.1 * h, g - 0.78 * h),
                 (x - f * (0.32 + rng.uniform(0, 0.12)) * h, g - 0.22 * h),
                 (x - f * 0.05 * h, g - 0.36 * h)]), fill=255)
    # torso and tabard
    d.polygon(P([(x - 0.12 * h, g - 0.8 * h), (x + 0.12 * h, g - 0.8 * h),
                 (x + 0.09 * h, g - 0.45 * h), (x - 0.09 * h, g - 0.45 * h)]), fill=255)
    d.polygon(P([(x - 0.1 * h, g - 0.5 * h), (x + 0.1 * h, g - 0.5 * h),
                 (x + 0.14 * h, g - 0.3 * h), (x - 0.14 * h, g - 0.3 * h)]), fill=255)
    # head and helmet
    hx, hy, hr = x + f * 0.02 * h, g - 0.9 * h, 0.075 * h
    d.ellipse(P([(hx - hr, hy - hr), (hx + hr, hy + hr)]), fill=255)
    helm = rng.choice(("horns", "plume", "spike", "round"))
    if helm == "horns":
        for s in (-1, 1):
            pts = [(hx + s * hr * 0.6, hy - hr * 0.3), (hx + s * hr * 1.9, hy - hr * 1.1),
                   (hx + s * hr * 1.6, hy - hr * 2.2), (hx + s * hr * 1.2, hy - hr * 1.0)]
            d.polygon(P(pts), fill=255)
    elif helm == "plume":
        d.polygon(P([(hx, hy - hr), (hx - f * hr * 0.5, hy - hr * 2.0),
                     (hx - f * hr * 3.2, hy - hr * 0.6), (hx - f * hr * 0.6, hy - hr * 0.2)]), fill=255)
    elif helm == "spike":
        d.polygon(P([(hx - hr * 0.6, hy - hr * 0.5), (hx, hy - hr * 2.4), (hx + hr * 0.6, hy - hr * 0.5)]), fill=255)
    sh = (x + f * 0.06 * h, g - 0.76 * h)
    if kind == "spear":
        hand = (x + f * 0.28 * h, g - 0.62 * h)
        line(sh, hand, 0.06 * h)
        a = rng.uniform(0.35, 0.75)
        tip = (hand[0] + f * math.cos(a) * 0.95 * h, hand[1] - math.sin(a) * 0.95 * h)
        butt = (hand[0] - f * math.cos(a) * 0.5 * h, hand[1] + math.sin(a) * 0.5 * h)
        line(butt, tip, 0.028 * h)
        ux, uy = f * math.cos(a), -math.sin(a)
        d.polygon(P([(tip[0] + ux * 0.12 * h, tip[1] + uy * 0.12 * h),
                     (tip[0] - uy * 0.035 * h, tip[1] + ux * 0.035 * h),
                     (tip[0] + uy * 0.035 * h, tip[1] - ux * 0.035 * h)]), fill=255)
    elif kind == "sword":
        hand = (x + f * 0.16 * h, g - 1.08 * h)
        line(sh, hand, 0.06 * h)
        line(hand, (hand[0] + f * 0.3 * h, hand[1] - 0.36 * h), 0.035 * h)
        line((hand[0] - 0.05 * h, hand[1] + 0.04 * h), (hand[0] + 0.05 * h, hand[1] - 0.04 * h), 0.03 * h)
    else:  # axe
        hand = (x + f * 0.22 * h, g - 0.98 * h)
        line(sh, hand, 0.06 * h)
        top = (hand[0] - f * 0.08 * h, hand[1] - 0.3 * h)
        line((hand[0] + f * 0.06 * h, hand[1] + 0.2 * h), top, 0.03 * h)
        d.polygon(P([top, (top[0] + f * 0.2 * h, top[1] - 0.08 * h),
                     (top[0] + f * 0.22 * h, top[1] + 0.12 * h), (top[0] + f * 0.02 * h, top[1] + 0.1 * h)]), fill=255)
    # shield on the fore arm
    cx, cy = x + f * 0.15 * h, g - 0.62 * h
    d.ellipse(P([(cx - 0.1 * h, cy - 0.15 * h), (cx + 0.1 * h, cy + 0.15 * h)]), fill=255)


def banner(d_pole, d_flag, S, x, g, h, f, rng):
    """Pole in the silhouette mask, tattered flag in its own mask."""
    top = g - 1.95 * h
    d_pole.line([(x * S, g * S), (x * S, top * S)], fill=255, width=max(1, int(0.035 * h * S)))
    d_pole.polygon([((x - 0.04 * h) * S, top * S), ((x + 0.04 * h) * S, top * S),
                    (x * S, (top - 0.12 * h) * S)], fill=255)
    fl = 0.55 * h
    fh = 0.5 * h
    ph = rng.uniform(0, math.pi * 2)
    upper, lower = [], []
    n = 10
    for i in range(n + 1):
        t = i / float(n)
        wave = math.sin(ph + t * 5.0) * 0.06 * h * t
        upper.append((x + f * t * fl, top + 0.02 * h + wave))
        lower.append((x + f * t * fl, top + fh - t * 0.1 * h + wave))
    tail = (x + f * fl * 0.78, top + fh * 0.55 + math.sin(ph + 4.0) * 0.05 * h)
    pts = upper + [tail] + list(reversed(lower))
    d_flag.polygon([(px * S, py * S) for px, py in pts], fill=255)


def draw_dragon(d, dm, S, ox, oy, sc):
    """Dragon flying left, origin at its chest: body and bones into d,
    the wing membranes into dm."""
    def T(p):
        return ((ox + p[0] * sc) * S, (oy + p[1] * sc) * S)

    # body, neck and tail as one tapering stroke
    spine = bezier((-62, -30), (-40, -10), (-20, 0), (0, 0), 10)
    spine += bezier((0, 0), (30, 4), (45, 20), (75, 14), 12)[1:]
    spine += bezier((75, 14), (105, 8), (115, 36), (150, 30), 14)[1:]
    n = len(spine)
    widths = []
    for i in range(n):
        t = i / float(n - 1)
        if t < 0.22:
            w = 7 + (t / 0.22) * 7
        elif t < 0.45:
            w = 14 + math.sin((t - 0.22) / 0.23 * math.pi) * 5
        else:
            w = 14 * (1 - (t - 0.45) / 0.55) + 1
        widths.append(w * sc * S)
    thick_path(d, [T(p) for p in spine], widths, 255)
    # tail spade
    d.polygon([T(p) for p in ((146, 30), (162, 22), (158, 34), (164, 44), (148, 35))], fill=255)
    # head: snout, jaw and swept horns
    d.polygon([T(p) for p in ((-56, -36), (-84, -34), (-92, -29), (-80, -25), (-90, -20),
                              (-70, -20), (-56, -22))], fill=255)
    d.polygon([T(p) for p in ((-60, -36), (-44, -52), (-52, -36))], fill=255)
    d.polygon([T(p) for p in ((-64, -35), (-56, -54), (-58, -36))], fill=255)
    # legs tucked
    for a, b, c in (((25, 10), (32, 30), (24, 38)), ((60, 18), (72, 34), (62, 42))):
        thick_path(d, [T(a), T(b), T(c)], [6 * sc * S, 4 * sc * S, 2 * sc * S], 255)

    def wing(shoulder, elbow, wrist, tips, attach, bone_w):
        bones = [T(shoulder), T(elbow), T(wrist)]
        thick_path(d, bones, [bone_w * sc * S, bone_w * 0.8 * sc * S, bone_w * 0.6 * sc * S], 255)
        mem = [shoulder, elbow, wrist]
        for tip in tips:
            thick_path(d, [T(wrist), T(tip)], [2.2 * sc * S, 0.8 * sc * S], 255)
        edge = [tips[0]]
        for a, b in zip(tips, tips[1:] + [attach]):
            cx = (a[0] + b[0]) / 2 + (wrist[0] - (a[0] + b[0]) / 2) * 0.28
            cy = (a[1] + b[1]) / 2 + (wrist[1] - (a[1] + b[1]) / 2) * 0.28
            edge += quad(a, (cx, cy), b, 10)
        dm.polygon([T(p) for p in mem + edge], fill=255)

    # far wing raised, near wing spread wide
    wing((8, -4), (-6, -58), (-22, -98), [(-70, -118), (-54, -76), (-30, -50), (-8, -30)],
         (22, -2), 6)
    wing((14, 2), (48, -48), (92, -86), [(40, -128), (120, -112), (138, -66), (118, -30), (84, -6)],
         (50, 10), 7)


def draw_background(rng_seed=1):
    W, H = BG_W, BG_H
    rng = random.Random(rng_seed)
    img = Image.new("RGBA", (W, H))

    # storm sky burning towards the horizon
    img.paste(vgradient(W, H, [(0.0, (16, 9, 22)), (0.18, (34, 16, 36)), (0.4, (74, 26, 40)),
                              (0.58, (146, 50, 30)), (0.68, (206, 96, 38)), (0.76, (150, 56, 26)),
                              (1.0, (50, 18, 14))]).convert("RGBA"))

    def glow_at(cx, cy, rx, ry, col, op, gamma=1.8):
        g = ImageOps.invert(Image.radial_gradient("L")).resize((rx * 2, ry * 2), Image.BICUBIC)
        m = new_mask((W, H))
        m.paste(curve(g, 128, 255, gamma), (cx - rx, cy - ry))
        paint(img, m, col, op)

    # burning lands, and the flash of the storm on the right
    glow_at(720, 370, 430, 170, (255, 110, 30), 0.55)
    glow_at(230, 380, 300, 120, (220, 80, 30), 0.35)
    glow_at(560, 360, 200, 90, (255, 150, 60), 0.4)
    glow_at(900, 130, 360, 210, (150, 110, 200), 0.45, 1.5)

    # blood moon behind the keep
    mx, my, mr = 215, 134, 40
    glow_at(mx, my, 150, 150, (230, 120, 90), 0.5, 2.2)
    moon = Image.new("RGBA", (W, H), (0, 0, 0, 0))
    mm = new_mask((W * 2, H * 2))
    ImageDraw.Draw(mm).ellipse(((mx - mr) * 2, (my - mr) * 2, (mx + mr) * 2, (my + mr) * 2), fill=255)
    mm = downsample(mm, (W, H))
    paint(moon, mm, vgradient(W, H, [(0, (246, 214, 180)), (1, (198, 110, 80))], my - mr, my + mr))
    craters = curve(fractal_noise(W, H, rng, (60, 30), 3), 120, 230, 1.0, 110)
    paint(moon, ImageChops.multiply(mm, craters), (120, 50, 40))
    img.alpha_composite(moon)

    # clouds: dark masses, undersides lit by the fires, tops by the storm
    n1 = fractal_noise(W, H, rng, (3, 3), 7, 0.6)
    fade = vgradient(W, H, [(0.0, (255,)), (0.4, (240,)), (0.6, (110,)), (0.7, (0,))], mode="L")
    dens = ImageChops.multiply(curve(n1, 95, 190, 0.9), fade)
    under = ImageChops.subtract(dens, shift(dens, 0, -12)).filter(ImageFilter.GaussianBlur(3))
    over = ImageChops.subtract(dens, shift(dens, 0, 8)).filter(ImageFilter.GaussianBlur(2.5))
    low = vgradient(W, H, [(0.05, (90,)), (0.5, (255,))], mode="L")
    paint(img, dens, (22, 12, 26), 0.88)
    paint(img, ImageChops.multiply(scale_mask(under, 2.4), low), (236, 104, 46), 0.8)
    paint(img, scale_mask(over, 2.2), (140, 104, 160), 0.5)
    n2 = fractal_noise(W, H, rng, (6, 6), 5, 0.6)
    wisps = ImageChops.multiply(curve(n2, 160, 240, 1.0, 170), fade)
    paint(img, wisps, (96, 48, 62), 0.55)

    # lightning striking the far hills on the right
    bolt = new_mask((W * 2, H * 2))
    bd = ImageDraw.Draw(bolt)
    lrng = random.Random(7)

    def strike(x, y, length, spread, width, depth):
        pts = [(x, y)]
        for _ in range(length):
            x += lrng.uniform(-spread, spread)
            y += lrng.uniform(6, 14)
            pts.append((x, y))
            if depth < 2 and lrng.random() < 0.18:
                strike(x, y, length // 3, spread, max(1, width - 1), depth + 1)
        bd.line([(px * 2, py * 2) for px, py in pts], fill=255, width=width * 2, joint="curve")

    strike(935, 50, 20, 10, 2, 0)
    bolt = downsample(bolt, (W, H))
    paint(img, bolt.filter(ImageFilter.GaussianBlur(14)), (150, 150, 255), 0.6)
    paint(img, bolt.filter(ImageFilter.GaussianBlur(3)), (200, 200, 255), 0.8)
    paint(img, bolt, (245, 245, 255))

    # dragon crossing the sky, a little veiled by haze
    S = 2
    db = new_mask((W * S, H * S))
    dm = new_mask((W * S, H * S))
    draw_dragon(ImageDraw.Draw(db), ImageDraw.Draw(dm), S, 704, 192, 0.8)
    db = downsample(db, (W, H))
    dm = downsample(dm, (W, H))
    both = ImageChops.lighter(db, dm)
    paint(img, dm, (34, 16, 30))
    paint(img, ImageChops.multiply(dm, curve(n2, 80, 255, 1.0, 120)), (70, 30, 50), 0.6)
    paint(img, db, (8, 4, 8))
    paint(img, ImageChops.subtract(both, shift(both, -1, 1)), (200, 160, 230), 0.5)

    # far and middle ranges with drifting fog between them
    fogn = fractal_noise(W, H, rng, (6, 2), 5)
    rock = fractal_noise(W, H, rng, (30, 12), 4, 0.65)

    def paint_range(mask, col, rim, rim_op):
        paint(img, mask, col)
        paint(img, ImageChops.multiply(mask, curve(rock, 100, 255, 1.0, 150)), scale_col(col, 0.55), 0.8)
        paint(img, ImageChops.multiply(mask, curve(ImageOps.invert(rock), 150, 255, 1.0, 90)),
              scale_col(col, 1.5), 0.8)
        edge = ImageChops.subtract(mask, shift(mask, 0, 6)).filter(ImageFilter.GaussianBlur(3))
        paint(img, ImageChops.multiply(edge, mask), rim, rim_op)

    far = mountain_mask(W, H, 340, [(470, 80, 110), (560, 46, 70), (650, 52, 90), (870, 74, 120), (380, 36, 80)],
                        40, 0.6, rng)
    paint_range(far, (78, 34, 38), (240, 130, 80), 0.35)
    paint(img, ImageChops.multiply(curve(fogn, 60, 220, 1.0, 150),
                                   vgradient(W, H, [(0.6, (0,)), (0.68, (255,)), (0.76, (0,))], mode="L")),
          (170, 80, 60), 0.6)
    mid = mountain_mask(W, H, 376, [(540, 44, 90), (740, 60, 110), (950, 40, 90)], 28, 0.6, rng)
    paint_range(mid, (44, 20, 26), (240, 110, 50), 0.4)

    # the fortress with lit windows
    cm = new_mask((W * S, H * S))
    draw_castle(ImageDraw.Draw(cm), S, rng)
    cm = downsample(cm, (W, H))
    paint(img, cm, (16, 10, 14))
    paint(img, ImageChops.subtract(cm, shift(cm, -2, 1)), (190, 90, 60), 0.5)
    win = new_mask((W, H))
    wd = ImageDraw.Draw(win)
    for wx, wy, ww, wh in ((70, 240, 3, 6), (76, 262, 2, 5), (116, 228, 3, 6), (184, 165, 3, 7),
                           (163, 210, 3, 6), (176, 220, 3, 6), (198, 214, 3, 6), (210, 238, 3, 6),
                           (250, 222, 3, 6), (256, 246, 2, 5), (288, 246, 3, 6), (140, 276, 2, 4),
                           (230, 280, 2, 4), (100, 274, 2, 4)):
        wd.rectangle((wx, wy, wx + ww - 1, wy + wh - 1), fill=255)
    paint(img, win.filter(ImageFilter.GaussianBlur(4)), (255, 140, 40), 0.9)
    paint(img, win, (255, 196, 96))

    # smoke rising from the battlefield
    smoke_n = fractal_noise(W, H, rng, (12, 4), 5)
    for sx, sw in ((470, 60), (860, 70), (330, 40)):
        col = hgradient(W, 1, [(0, (0,)), (max(0, sx - sw) / W, (0,)), (sx / W, (255,)),
                               (min(W, sx + sw) / W, (0,)), (1, (0,))], mode="L").resize((W, H))
        colfade = vgradient(W, H, [(0.25, (0,)), (0.6, (200,)), (0.8, (255,))], mode="L")
        sm = ImageChops.multiply(ImageChops.multiply(col, colfade), curve(smoke_n, 70, 200))
        # lean the column with the wind
        sm = sm.transform((W, H), Image.AFFINE, (1, 0.35, -0.35 * 400, 0, 1, 0), Image.BILINEAR)
        paint(img, sm, (30, 22, 26), 0.65)

    # battle: two hosts under their banners
    army = new_mask((W * S, H * S))
    flags_r = new_mask((W * S, H * S))
    flags_g = new_mask((W * S, H * S))
    ad = ImageDraw.Draw(army)
    hill = ridge_line(W, 6, 0.6, rng)
    ad.polygon([(x * S, (432 + hill[x]) * S) for x in range(0, W, 3)] +
               [((W - 1) * S, 432 * S), (W * S, H * S), (0, H * S)], fill=255)
    arng = random.Random(11)
    kinds = ("spear", "spear", "sword", "axe")
    # back ranks, smaller
    for x0, x1, f, fl in ((8, 470, 1, flags_r), (520, 990, -1, flags_g)):
        x = x0
        while x < x1:
            g = 420 + arng.uniform(-3, 3)
            warrior(ad, S, x, g, arng.uniform(24, 30), f, arng.choice(kinds), arng)
            if arng.random() < 0.16:
                banner(ad, ImageDraw.Draw(fl), S, x + f * 4, g, 28, f, arng)
            x += arng.uniform(13, 21)
    # front ranks clashing in the middle
    for x0, x1, f, fl in ((14, 505, 1, flags_r), (490, 985, -1, flags_g)):
        x = x0
        while x < x1:
            g = 452 + arng.uniform(-3, 3)
            warrior(ad, S, x, g, arng.uniform(44, 56), f, arng.choice(kinds), arng)
            if arng.random() < 0.12:
                banner(ad, ImageDraw.Draw(fl), S, x - f * 6, g, 50, f, arng)
            x += arng.uniform(24, 38)
    army = downsample(army, (W, H))
    flags_r = downsample(flags_r, (W, H))
    flags_g = downsample(flags_g, (W, H))
    # a haze first so that the hosts stand out against the hills
    paint(img, ImageChops.multiply(curve(fogn, 30, 220, 0.8, 255),
                                   vgradient(W, H, [(0.7, (0,)), (0.77, (255,)), (0.86, (90,))], mode="L")),
          (210, 96, 44), 0.6)
    paint(img, army, (10, 6, 8))
    paint(img, ImageChops.subtract(army, shift(army, 1, 2)), (230, 110, 50), 0.55)
    for fm, base, hi in ((flags_r, (96, 10, 14), (200, 50, 30)), (flags_g, (18, 58, 28), (80, 150, 70))):
        paint(img, fm, base)
        paint(img, ImageChops.subtract(fm, shift(fm, 0, 2)), hi, 0.6)

    # ground fog over the field
    paint(img, ImageChops.multiply(curve(fractal_noise(W, H, rng, (8, 2), 5), 70, 230, 1.0, 170),
                                   vgradient(W, H, [(0.76, (0,)), (0.84, (255,)), (0.9, (255,))], mode="L")),
          (110, 60, 56), 0.5)

    # embers drifting up from the fires
    em = new_mask((W, H))
    ed = ImageDraw.Draw(em)
    erng = random.Random(23)
    for _ in range(260):
        x = erng.uniform(0, W)
        y = 470 - (erng.random() ** 2.2) * 420
        r = erng.choice((0.6, 0.8, 1.0, 1.0, 1.4, 1.8))
        ln = erng.uniform(0, 4)
        ed.line((x, y, x + ln * 0.6, y - ln), fill=int(erng.uniform(120, 255)), width=1)
        ed.ellipse((x - r, y - r, x + r, y + r), fill=int(erng.uniform(160, 255)))
    paint(img, scale_mask(em.filter(ImageFilter.GaussianBlur(3)), 2.5), (255, 100, 20), 0.8)
    paint(img, em, (255, 200, 110))

    # vignette
    vg = curve(Image.radial_gradient("L").resize((W, H), Image.BICUBIC), 110, 255, 1.6, 200)
    paint(img, vg, (0, 0, 0), 0.9)

    draw_bands(img, rng)
    draw_title(img)

    out = img.convert("RGB")
    out = apply_key_frame(out)
    return out


# The dark bands: the top one drops a little in the middle under the title,
# the bottom one rises into a plinth that carries the play button.
TOP_EDGE = [(0, 64), (330, 64), (354, 88), (639, 88), (663, 64), (BG_W, 64)]
BOTTOM_EDGE = [(0, 450), (322, 450), (348, 406), (645, 406), (671, 450), (BG_W, 450)]


def draw_bands(img, rng):
    W, H = img.size
    S = 2
    tex_n = fractal_noise(W, H, rng, (40, 20), 4, 0.6)
    stone = Image.merge("RGB", [curve(tex_n, 0, 255, 1.0, 30)] * 3)
    stone = ImageChops.add(stone, Image.new("RGB", (W, H), (14, 9, 11)))

    top_pts = [(x * S, y * S) for x, y in TOP_EDGE] + [(W * S, 0), (0, 0)]
    bot_pts = [(x * S, y * S) for x, y in BOTTOM_EDGE] + [(W * S, H * S), (0, H * S)]
    top = downsample(poly_mask((W * S, H * S), top_pts), (W, H))
    bot = downsample(poly_mask((W * S, H * S), bot_pts), (W, H))

    # soft shadow cast on the scene
    paint(img, shift(top, 0, 5).filter(ImageFilter.GaussianBlur(7)), (0, 0, 0), 0.85)
    paint(img, shift(bot, 0, -5).filter(ImageFilter.GaussianBlur(7)), (0, 0, 0), 0.85)
    paint(img, top, stone)
    paint(img, bot, stone)
    # a faint lighter sheen inside the bands
    paint(img, ImageChops.multiply(top, vgradient(W, H, [(0, (0,)), (1, (40,))], 0, 88, mode="L")), (90, 60, 40))
    paint(img, ImageChops.multiply(bot, vgradient(W, H, [(0, (40,)), (1, (0,))], 406, H, mode="L")), (90, 60, 40))

    # bronze trims along the band edges
    trim = Image.new("RGBA", (W * S, H * S), (0, 0, 0, 0))
    td = ImageDraw.Draw(trim)
    for edge, dy in ((TOP_EDGE, -1), (BOTTOM_EDGE, 1)):
        pts = [(x * S, y * S) for x, y in edge]
        td.line(pts, fill=(20, 12, 6, 255), width=5 * S, joint="curve")
        td.line(pts, fill=(128, 88, 40, 255), width=3 * S, joint="curve")
        td.line([(x, y - dy * S * 0.5) for x, y in pts], fill=(222, 180, 100, 255), width=S, joint="curve")
        # studs at the shoulders
        for (x, y) in edge[1:-1]:
            r = 4 * S
            td.ellipse((x * S - r - S, y * S - r - S, x * S + r + S, y * S + r + S), fill=(20, 12, 6, 255))
            td.ellipse((x * S - r, y * S - r, x * S + r, y * S + r), fill=(150, 104, 46, 255))
            td.ellipse((x * S - r * 0.6 - S, y * S - r * 0.6 - S, x * S + r * 0.1, y * S + r * 0.1),
                       fill=(240, 206, 130, 255))
    img.alpha_composite(downsample(trim, (W, H)))

    # engraved lines framing the status area
    eng = Image.new("RGBA", (W, H), (0, 0, 0, 0))
    ed = ImageDraw.Draw(eng)
    for x0, x1 in ((16, 318), (676, 976)):
        ed.line((x0, 458, x1, 458), fill=(0, 0, 0, 200))
        ed.line((x0, 459, x1, 459), fill=(100, 72, 40, 110))
    img.alpha_composite(eng)


def draw_title(img):
    W, H = img.size
    S = 2
    layer = Image.new("RGBA", (W * S, H * S), (0, 0, 0, 0))
    cx = (TOP_EDGE[2][0] + TOP_EDGE[3][0]) / 2.0
    # as large as fits between the forum and minimise buttons, with room to spare
    size = 46
    while size > 20 and ImageDraw.Draw(layer).textlength("DRAKMOOR", font=font(SERIF_BOLD, size * S)) \
            + 7 * 2 * S > 290 * S:
        size -= 1
    m = text_mask(layer.size, (cx * S, 38 * S), "DRAKMOOR", font(SERIF_BOLD, size * S), "mm", spacing=2 * S)
    fancy_text(layer, m, [(0, (255, 236, 178)), (0.45, (214, 160, 78)), (0.55, (150, 96, 40)),
                          (1, (222, 170, 90))],
               outline=(14, 8, 2), outline_r=2.0, shadow_off=(1.5, 3.0), shadow_r=2.5,
               glow=(180, 40, 10, 120), glow_r=8, S=S)
    m2 = text_mask(layer.size, (cx * S, 74 * S), "C O R V E L", font(SERIF_BOLD, 13 * S), "mm", spacing=2 * S)
    fancy_text(layer, m2, [(0, (214, 224, 190)), (1, (120, 168, 100))], outline=(4, 10, 4), outline_r=1.2,
               shadow_off=(1, 1.5), shadow_r=1.2, S=S)
    # flourishes either side of the server name
    fd = ImageDraw.Draw(layer)
    bb = m2.getbbox()
    for sgn in (-1, 1):
        x0 = (bb[0] - 10 * S) if sgn < 0 else (bb[2] + 10 * S)
        x1 = x0 + sgn * 70 * S
        y = 74 * S
        fd.line((x0, y + S, x1, y + S), fill=(0, 0, 0, 200), width=2 * S)
        fd.line((x0, y, x1, y), fill=(190, 146, 80, 255), width=S)
        fd.polygon([(x0, y - 4 * S), (x0 + sgn * 5 * S, y), (x0, y + 4 * S), (x0 - sgn * 5 * S, y)],
                   fill=(200, 160, 90, 255))
    img.alpha_composite(downsample(layer, (W, H)))


def in_key_frame(x, y, w=BG_W, h=BG_H):
    """The outline: 2 rows on top, 3 at the bottom, 2 columns left, 3 right,
    and the corners rounded off by two more pixels next to the bands and one
    more in the row after that."""
    if y < 2 or y >= h - 3 or x < 2 or x >= w - 3:
        return True
    if y == 2 or y == h - 4:
        return x < 4 or x >= w - 5
    if y == 3 or y == h - 5:
        return x < 3 or x >= w - 4
    return False


def apply_key_frame(img):
    w, h = img.size
    # keep the key colour out of the picture itself
    r, g, b = img.split()
    hit = ImageChops.multiply(ImageChops.multiply(r.point(lambda v: 255 if v == KEY[0] else 0),
                                                  g.point(lambda v: 255 if v == KEY[1] else 0)),
                              b.point(lambda v: 255 if v == KEY[2] else 0))
    img.paste((KEY[0], KEY[1] - 1, KEY[2]), (0, 0), hit)
    px = img.load()
    # a dark rim and a bronze line just inside the cut-out
    rim1, rim2 = [], []
    for y in range(h):
        for x in list(range(0, 8)) + list(range(w - 8, w)) if 8 <= y < h - 8 else range(w):
            if in_key_frame(x, y, w, h):
                continue
            near = [in_key_frame(x + dx, y + dy, w, h) for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1))]
            if any(near):
                rim1.append((x, y))
            elif any(in_key_frame(x + dx, y + dy, w, h) for dx in (-2, -1, 0, 1, 2) for dy in (-2, -1, 0, 1, 2)):
                rim2.append((x, y))
    for x, y in rim1:
        px[x, y] = (10, 7, 5)
    for x, y in rim2:
        c = px[x, y]
        px[x, y] = mix(c, (150, 108, 56), 0.75)
    for y in range(h):
        for x in list(range(0, 6)) + list(range(w - 6, w)) if 6 <= y < h - 6 else range(w):
            if in_key_frame(x, y, w, h):
                px[x, y] = KEY
    return img


# ---------------------------------------------------------------- plates and buttons

def rrect_shape(x0, y0, x1, y1, r):
    return lambda d: rrect_poly(x0 + d, y0 + d, x1 - d, y1 - d, max(0.5, r - d))


def gem_shape(x0, y0, x1, y1, cut):
    """Long plate with pointed ends."""
    my = (y0 + y1) / 2.0
    base = [(x0, my), (x0 + cut, y0), (x1 - cut, y0), (x1, my), (x1 - cut, y1), (x0 + cut, y1)]
    return lambda d: inset_poly(base, d)


GREEN = dict(
    face=[(0, (88, 170, 70)), (0.48, (38, 112, 36)), (0.52, (28, 92, 28)), (1, (14, 54, 16))],
    text=[(0, (255, 252, 226)), (0.5, (240, 226, 160)), (1, (206, 176, 96))],
    text_outline=(6, 22, 4), glow=(200, 255, 120, 130))
RED = dict(
    face=[(0, (170, 52, 40)), (0.48, (112, 22, 18)), (0.52, (92, 14, 12)), (1, (52, 6, 6))],
    text=[(0, (255, 246, 224)), (1, (232, 196, 130))],
    text_outline=(24, 2, 2), glow=(255, 160, 110, 120))
METAL = [(0, (252, 226, 150)), (0.3, (196, 150, 72)), (0.6, (120, 80, 34)), (1, (66, 40, 16))]


def draw_plate(size, shape, style, lines, state, frame_w=3.0, rivets=(), S=4, seed=5):
    """A framed plate: shadow, dark edge, bronze frame, coloured face and text.

    lines: [(text, font file, size, y centre, letter spacing)] in picture pixels.
    state: "normal", "hover" or "down".
    """
    w, h = size
    W, H = w * S, h * S
    img = Image.new("RGBA", (W, H), (0, 0, 0, 0))

    def P(d):
        return [(x * S, y * S) for x, y in shape(d)]

    outer = P(0)
    ys = [p[1] for p in outer]
    top, bot = min(ys), max(ys)
    down = state == "down"
    bright = {"normal": 1.0, "hover": 1.2, "down": 0.72}[state]

    # shadow below the plate
    sh = shift(poly_mask((W, H), outer), 0, (0.5 if down else 1.5) * S)
    paint(img, sh.filter(ImageFilter.GaussianBlur(1.2 * S)), (0, 0, 0), 0.8)
    paint(img, poly_mask((W, H), outer), (10, 7, 4))
    metal = METAL if not down else list(reversed([(1 - p, c) for p, c in METAL]))
    metal = [(p, scale_col(c, 1.12 if state == "hover" else 1.0)) for p, c in metal]
    paint(img, poly_mask((W, H), P(1)), vgradient(W, H, metal, top, bot))
    # engraved groove along the middle of the frame
    paint(img, ImageChops.subtract(poly_mask((W, H), P(1 + frame_w * 0.45)),
                                   poly_mask((W, H), P(1 + frame_w * 0.45 + 0.6))), (60, 36, 12), 0.6)
    paint(img, poly_mask((W, H), P(frame_w)), (8, 6, 3))
    face = poly_mask((W, H), P(frame_w + 0.8))
    fstops = [(p, scale_col(c, bright)) for p, c in style["face"]]
    paint(img, face, vgradient(W, H, fstops, top, bot))
    # grain
    rng = random.Random(seed)
    grain = curve(fractal_noise(W, H, rng, (max(2, w // 6), max(2, h // 6)), 4, 0.7), 60, 255, 1.0, 70)
    paint(img, ImageChops.multiply(face, grain), (0, 0, 0), 0.6)
    # bevel light and shade inside the face; swapped when pressed
    lit = ImageChops.subtract(face, shift(face, 0, 2.5 * S)).filter(ImageFilter.GaussianBlur(S))
    shade = ImageChops.subtract(face, shift(face, 0, -2.5 * S)).filter(ImageFilter.GaussianBlur(S))
    if down:
        lit, shade = shade, lit
    paint(img, ImageChops.multiply(lit, face), (255, 255, 230), 0.28 if not down else 0.12)
    paint(img, ImageChops.multiply(shade, face), (0, 0, 0), 0.45)
    # gloss over the upper half
    if not down:
        gl = new_mask((W, H))
        xs = [p[0] for p in outer]
        ImageDraw.Draw(gl).ellipse((min(xs) - W * 0.1, top - (bot - top) * 0.9, max(xs) + W * 0.1,
                                    top + (bot - top) * 0.5), fill=255)
        paint(img, ImageChops.multiply(gl.filter(ImageFilter.GaussianBlur(2 * S)), face), (255, 255, 255),
              0.10 if state == "normal" else 0.16)
    if state == "hover":
        # a glow running round the inside of the frame
        rim = ImageChops.multiply(face, dilate(ImageOps.invert(face), 1.5 * S))
        paint(img, rim, style["glow"][:3], 0.5)

    for rx, ry in rivets:
        r = 2.3 * S
        x, y = rx * S, ry * S
        rd = ImageDraw.Draw(img)
        rd.ellipse((x - r - S * 0.7, y - r - S * 0.7, x + r + S * 0.7, y + r + S * 0.7), fill=(12, 8, 4, 255))
        rd.ellipse((x - r, y - r, x + r, y + r), fill=(150, 104, 46, 255))
        rd.ellipse((x - r * 0.7, y - r * 0.7, x + r * 0.2, y + r * 0.2), fill=(250, 220, 150, 255))

    off = (0.6, 1.4) if down else (0, 0)
    text_stops = [(p, scale_col(c, 0.85 if down else (1.06 if state == "hover" else 1.0)))
                  for p, c in style["text"]]
    for text, fname, fsize, ycen, spacing in lines:
        xs = [p[0] for p in outer]
        cx = (min(xs) + max(xs)) / 2.0 + off[0] * S
        m = text_mask((W, H), (cx, (ycen + off[1]) * S), text, font(fname, fsize * S), "mm", spacing * S)
        fancy_text(img, m, text_stops, outline=style["text_outline"], outline_r=1.4,
                   shadow_off=(0.6, 1.2) if down else (1.0, 2.0), shadow_r=1.5,
                   glow=style["glow"] if state == "hover" else None, glow_r=4, S=S)
    return downsample(img, (w, h))


def draw_buttons():
    out = {}
    check_shape = rrect_shape(2, 1, 288, 45, 9)
    for st in ("normal", "hover", "down"):
        out["btn_check_%s.png" % st] = draw_plate(
            (290, 48), check_shape, GREEN, [("FULL CHECK", SERIF_BOLD, 19, 23, 2)], st,
            frame_w=3.5, rivets=((10, 23), (280, 23)), seed=31)
    # the play button is shown 285 x 90, so the plate stays inside that
    play_shape = gem_shape(2, 1, 281, 84, 22)
    for st in ("normal", "hover", "down"):
        out["btn_play_%s.png" % st] = draw_plate(
            (290, 98), play_shape, GREEN,
            [("JUGAR", SERIF_BOLD, 34, 38, 4), ("CORVEL", SERIF_BOLD, 14, 66, 6)], st,
            frame_w=4.5, rivets=((14, 44), (271, 44)), seed=37)
    small = rrect_shape(2, 1, 118, 37, 7)
    for name, text, fsize in (("exit", "SALIR", 15), ("min", "MINIMIZAR", 12),
                              ("web", "WEB", 15), ("forum", "FORO", 15)):
        fname = SERIF_BOLD_COND if len(text) > 6 else SERIF_BOLD
        for st in ("normal", "down"):
            out["btn_%s_%s.png" % (name, st)] = draw_plate(
                (120, 40), small, RED, [(text, fname, fsize, 19, 1.5)], st, frame_w=3.0, seed=41)
    return out


# ---------------------------------------------------------------- small pictures

def draw_trough():
    w, h, S = 960, 30, 4
    img = Image.new("RGBA", (w * S, h * S), (0, 0, 0, 0))
    W, H = img.size

    def M(d, r):
        return poly_mask((W, H), [(x * S, y * S) for x, y in rrect_poly(d, d, w - d, h - d, r)])

    outer = M(0.5, 14.5)
    paint(img, outer, (8, 5, 3))
    paint(img, M(1.5, 13.5), vgradient(W, H, list(reversed([(1 - p, c) for p, c in METAL])), 0, H))
    paint(img, M(3.2, 11.8), (6, 4, 3))
    groove = M(4.2, 10.8)
    paint(img, groove, vgradient(W, H, [(0, (4, 3, 2)), (0.35, BAR_GROUND), (1, (34, 26, 20))], 4 * S, 26 * S))
    # the groove's upper lip casts a shadow into it
    sh = ImageChops.subtract(groove, shift(groove, 0, 3 * S)).filter(ImageFilter.GaussianBlur(2 * S))
    paint(img, ImageChops.multiply(sh, groove), (0, 0, 0), 0.8)
    return downsample(img, (w, h))


def draw_bar(w, h):
    img = Image.new("RGB", (w, h))
    px = img.load()
    dark, light = (10, 52, 12), (150, 236, 112)
    for y in range(h):
        t = (y + 0.5) / h
        k = math.sin(math.pi * t) ** 0.8
        # a touch of sheen just above the middle
        k = min(1.0, k + 0.12 * math.exp(-((t - 0.38) / 0.12) ** 2))
        c = mix(dark, light, k)
        for x in range(w):
            px[x, y] = c
    return img


def bat_polys(lift, sc, ox, oy, rot):
    """Outline pieces of one bat seen from the front, wings at lift -1..1."""
    c, s = math.cos(rot), math.sin(rot)

    def T(p):
        x, y = p[0] * sc, p[1] * sc
        return (ox + x * c - y * s, oy + x * s + y * c)

    wrist = (0.46, -0.28 - 0.34 * lift)
    tips = [(0.98, -0.42 - 0.46 * lift), (0.9, 0.02 - 0.25 * lift), (0.62, 0.26 - 0.08 * lift)]
    shoulder, attach = (0.06, -0.1), (0.1, 0.2)
    edge = [tips[0]]
    for a, b in zip(tips, tips[1:] + [attach]):
        cx = (a[0] + b[0]) / 2 + (wrist[0] - (a[0] + b[0]) / 2) * 0.42
        cy = (a[1] + b[1]) / 2 + (wrist[1] - (a[1] + b[1]) / 2) * 0.42
        edge += quad(a, (cx, cy), b, 6)
    right = [shoulder, wrist] + edge
    left = [(-x, y) for x, y in right]
    body = ellipse_poly(0, 0.06, 0.09, 0.2, 16)
    head = ellipse_poly(0, -0.18, 0.075, 0.07, 14)
    ears = [[(-0.07, -0.2), (-0.07, -0.33), (-0.015, -0.23)], [(0.07, -0.2), (0.07, -0.33), (0.015, -0.23)]]
    bones = [[shoulder, wrist, t] for t in tips] + [[(-shoulder[0], shoulder[1]), (-wrist[0], wrist[1]),
                                                     (-t[0], t[1])] for t in tips]
    return ([T(p) for p in right], [T(p) for p in left], [T(p) for p in body], [T(p) for p in head],
            [[T(p) for p in e] for e in ears], [[T(p) for p in b] for b in bones])


def draw_bats():
    w, h, S = 180, 147, 4
    W, H = w * S, h * S
    img = Image.new("RGBA", (W, H), (0, 0, 0, 0))
    rng = random.Random(97)
    vis_w = FRAME_VISIBLE[0]
    # (x, y, wingspan) from far to near; the swarm heads up and to the right
    bats = [(150, 20, 24), (24, 124, 26), (64, 22, 28), (140, 122, 30), (18, 66, 34),
            (152, 70, 38), (100, 18, 36), (58, 104, 46), (44, 50, 40), (112, 84, 60)]
    for i, (x, y, span) in enumerate(bats):
        near = i / float(len(bats) - 1)
        grey = int(178 - 58 * near)
        half = span / 2.0
        x = min(max(x, half + 2), vis_w - half - 2)
        y = min(max(y, half * 0.7 + 2), h - half * 0.7 - 2)
        lift = rng.uniform(-1, 1)
        rot = rng.uniform(-0.5, -0.1)
        right, left, body, head, ears, bones = bat_polys(lift, half * S, x * S, y * S, rot)
        layer = Image.new("RGBA", (W, H), (0, 0, 0, 0))
        d = ImageDraw.Draw(layer)
        wing_col = (grey, grey, grey + 8, 255)
        d.polygon(right, fill=wing_col)
        d.polygon(left, fill=wing_col)
        bone_col = (grey - 60, grey - 60, grey - 54, 255)
        for b in bones:
            d.line(b, fill=bone_col, width=max(S, int(S * span / 34.0)))
        body_col = (grey - 80, grey - 80, grey - 74, 255)
        d.polygon(body, fill=body_col)
        d.polygon(head, fill=body_col)
        for e in ears:
            d.polygon(e, fill=body_col)
        shape = layer.getchannel("A")
        # a dark edge keeps the bats apart from the sky and from each other
        paint(img, dilate(shape, 0.5 * S), (22, 20, 26), 0.8 + 0.2 * near)
        lit = ImageChops.subtract(shape, shift(shape, 0, 2 * S)).filter(ImageFilter.GaussianBlur(S))
        layer.putalpha(scale_mask(shape, 0.8 + 0.2 * near))
        img.alpha_composite(layer)
        paint(img, ImageChops.multiply(lit, shape), (235, 232, 240), 0.35)
    return downsample(img, (w, h))


def draw_skull():
    w, h, S = 244, 97, 4
    W, H = w * S, h * S
    half = Image.new("RGBA", (W, H), (0, 0, 0, 0))

    # left horn: a ram's spiral from the temple, then mirrored
    hd = ImageDraw.Draw(half)
    cx, cy = 52.0, 54.0
    sx, sy = 98.0, 33.0
    r0 = math.hypot(sx - cx, sy - cy)
    a0 = math.atan2(sy - cy, sx - cx)
    sweep = math.radians(430)
    steps = 360
    path = []
    for i in range(steps + 1):
        t = i / float(steps)
        a = a0 - sweep * t
        r = r0 - (r0 - 9.5) * t ** 0.85
        th = 2.6 + 17.5 * (1 - t) ** 1.1
        path.append((cx + r * math.cos(a), cy + r * math.sin(a), th, t))
    for x, y, th, t in path:
        rr = (th / 2 + 0.9) * S
        hd.ellipse((x * S - rr, y * S - rr, x * S + rr, y * S + rr), fill=(16, 10, 6, 255))
    for x, y, th, t in path:
        # ring-shaped ridges, closer together toward the tip
        ridge = 0.6 + 0.4 * (0.5 + 0.5 * math.cos(2 * math.pi * 24 * t ** 0.8)) ** 0.5
        base = mix((70, 52, 38), (232, 218, 182), t ** 1.2)
        rr = th / 2 * S
        hd.ellipse((x * S - rr, y * S - rr, x * S + rr, y * S + rr), fill=scale_col(base, ridge) + (255,))
    horn = half.getchannel("A")
    top_lit = ImageChops.subtract(horn, shift(horn, 0, 3 * S)).filter(ImageFilter.GaussianBlur(1.5 * S))
    under = ImageChops.subtract(horn, shift(horn, 0, -3 * S)).filter(ImageFilter.GaussianBlur(1.5 * S))
    paint(half, ImageChops.multiply(top_lit, horn), (255, 244, 214), 0.5)
    paint(half, ImageChops.multiply(under, horn), (0, 0, 0), 0.55)
    horns = half.copy()
    horns.alpha_composite(ImageOps.mirror(half))

    img = horns
    d = ImageDraw.Draw(img)

    def P(pts):
        return [(x * S, y * S) for x, y in pts]

    def sym(pts):
        return P(pts) + P([(w - x, y) for x, y in reversed(pts)])

    cranium = ellipse_poly(122, 34, 31, 31, 48)
    cheeks = sym([(122, 44), (93, 44), (94, 56), (100, 66), (104, 72)])
    jaw = sym([(122, 70), (102, 70), (103, 84), (110, 92), (117, 94)])
    bone = new_mask((W, H))
    bd = ImageDraw.Draw(bone)
    bd.polygon(P(cranium), fill=255)
    bd.polygon(cheeks, fill=255)
    bd.polygon(jaw, fill=255)
    paint(img, dilate(bone, 0.6 * S), (14, 10, 6))
    paint(img, bone, vgradient(W, H, [(0, (238, 228, 200)), (0.55, (196, 178, 140)), (1, (120, 100, 72))], 2 * S, 94 * S))
    # darker toward the outline, as bone curves away
    ao = ImageChops.subtract(bone, bone.filter(ImageFilter.GaussianBlur(5 * S)))
    paint(img, scale_mask(ao, 2.0), (60, 40, 24), 0.8)
    # light on the dome
    dome = new_mask((W, H))
    ImageDraw.Draw(dome).ellipse(P([(104, 8), (132, 30)]), fill=255)
    paint(img, ImageChops.multiply(dome.filter(ImageFilter.GaussianBlur(5 * S)), bone), (255, 252, 236), 0.5)

    dark = (16, 8, 6)
    # brow ridges
    for sgn in (1, -1):
        pts = [(122 - sgn * 4, 42), (122 - sgn * 16, 40), (122 - sgn * 26, 43)]
        d.line(P(pts), fill=(110, 88, 58, 255), width=int(1.5 * S), joint="curve")
    # eye sockets, slanted in anger
    sockets = []
    for sgn in (1, -1):
        pts = [(122 - sgn * 4, 48), (122 - sgn * 12, 45), (122 - sgn * 22, 46), (122 - sgn * 25, 52),
               (122 - sgn * 20, 59), (122 - sgn * 10, 59), (122 - sgn * 4, 54)]
        sockets.append(P(pts))
        d.polygon(P(pts), fill=dark + (255,))
    # nose
    d.polygon(P([(122, 58), (117, 68), (120, 70), (122, 68), (124, 70), (127, 68)]), fill=dark + (255,))
    # teeth
    d.rectangle(P([(105, 71), (139, 82)]), fill=dark + (255,))
    for i, tx in enumerate(range(106, 139, 4)):
        tl = 9 if i not in (1, 7) else 10
        d.rounded_rectangle(P([(tx, 71), (tx + 3.2, 71 + tl * 0.55)]), radius=S, fill=(226, 214, 182, 255))
        d.rounded_rectangle(P([(tx + 0.5, 82 - tl * 0.45), (tx + 3.4, 82)]), radius=S, fill=(200, 186, 150, 255))
    d.line(P([(102, 84), (110, 92), (122, 94), (134, 92), (142, 84)]), fill=(90, 70, 46, 255), width=S)
    # cracks
    d.line(P([(128, 4), (131, 11), (127, 17), (133, 24), (131, 30)]), fill=(60, 40, 24, 255), width=int(1.2 * S))
    d.line(P([(131, 11), (137, 14)]), fill=(60, 40, 24, 255), width=S)
    d.line(P([(104, 24), (109, 30), (106, 35)]), fill=(80, 58, 36, 255), width=S)
    # embers burning in the sockets
    eyes = new_mask((W, H))
    ed = ImageDraw.Draw(eyes)
    for ex in (109, 135):
        ed.ellipse(P([(ex - 3.2, 50), (ex + 3.2, 56)]), fill=255)
    sock = new_mask((W, H))
    for s in sockets:
        ImageDraw.Draw(sock).polygon(s, fill=255)
    paint(img, ImageChops.multiply(eyes.filter(ImageFilter.GaussianBlur(4 * S)), sock), (255, 40, 10), 1.0)
    paint(img, eyes.filter(ImageFilter.GaussianBlur(S)), (255, 120, 40))
    paint(img, ImageChops.multiply(eyes, scale_mask(eyes.filter(ImageFilter.GaussianBlur(2 * S)), 0.8)),
          (255, 230, 160), 0.9)
    return downsample(img, (w, h))


def draw_notice():
    w, h, S = 480, 75, 4
    vw, vh = NOTICE_VISIBLE
    W, H = w * S, h * S
    img = Image.new("RGBA", (W, H), (0, 0, 0, 0))

    def M(d, r):
        return poly_mask((W, H), [(x * S, y * S) for x, y in rrect_poly(2 + d, 1 + d, vw - 5 - d, vh - 5 - d, r - d)])

    sh = shift(M(0, 10), 0, 2 * S).filter(ImageFilter.GaussianBlur(1.5 * S))
    paint(img, sh, (0, 0, 0), 0.85)
    paint(img, M(0, 10), (8, 5, 3))
    paint(img, M(1, 10), vgradient(W, H, METAL, 1 * S, 70 * S))
    paint(img, M(2.8, 10), (8, 5, 3))
    face = M(3.6, 10)
    paint(img, face, vgradient(W, H, [(0, (52, 34, 28)), (0.5, (30, 18, 16)), (1, (16, 10, 9))], 4 * S, 68 * S))
    grain = curve(fractal_noise(W, H, random.Random(61), (40, 8), 4, 0.7), 60, 255, 1.0, 60)
    paint(img, ImageChops.multiply(face, grain), (0, 0, 0), 0.6)

    # the badge: a red disc in a bronze ring with an exclamation mark
    bx, by, br = 36, 35, 24
    d = ImageDraw.Draw(img)
    d.ellipse(((bx - br - 1) * S, (by - br - 1) * S, (bx + br + 1) * S, (by + br + 1) * S), fill=(8, 5, 3, 255))
    ring = new_mask((W, H))
    ImageDraw.Draw(ring).ellipse(((bx - br) * S, (by - br) * S, (bx + br) * S, (by + br) * S), fill=255)
    paint(img, ring, vgradient(W, H, METAL, (by - br) * S, (by + br) * S))
    d.ellipse(((bx - br + 3.5) * S, (by - br + 3.5) * S, (bx + br - 3.5) * S, (by + br - 3.5) * S), fill=(30, 2, 2, 255))
    disc = new_mask((W, H))
    ImageDraw.Draw(disc).ellipse(((bx - br + 4.5) * S, (by - br + 4.5) * S, (bx + br - 4.5) * S, (by + br - 4.5) * S),
                                 fill=255)
    paint(img, disc, vgradient(W, H, [(0, (236, 72, 48)), (0.5, (170, 20, 14)), (1, (86, 4, 4))],
                               (by - br) * S, (by + br) * S))
    gl = new_mask((W, H))
    ImageDraw.Draw(gl).ellipse(((bx - 13) * S, (by - 18) * S, (bx + 13) * S, (by - 2) * S), fill=255)
    paint(img, ImageChops.multiply(gl.filter(ImageFilter.GaussianBlur(2 * S)), disc), (255, 255, 255), 0.3)
    m = text_mask((W, H), (bx * S, (by + 1) * S), "!", font(SERIF_BOLD, 30 * S), "mm")
    fancy_text(img, m, [(0, (255, 255, 240)), (1, (250, 220, 170))], outline=(40, 0, 0), outline_r=1.2,
               shadow_off=(1, 1.5), shadow_r=1.2, S=S)

    tx = 72
    m1 = text_mask((W, H), (tx * S, 25 * S), "¡Cliente actualizado!", font(SERIF_BOLD, 19 * S), "lm")
    fancy_text(img, m1, [(0, (255, 238, 180)), (0.5, (236, 190, 100)), (1, (190, 130, 60))],
               outline=(12, 6, 2), outline_r=1.3, shadow_off=(1, 2), shadow_r=1.5, S=S)
    m2 = text_mask((W, H), (tx * S, 49 * S), "No olvides votar por el servidor", font(SERIF, 14 * S), "lm")
    fancy_text(img, m2, [(0, (236, 226, 206)), (1, (190, 176, 150))], outline=(10, 6, 4), outline_r=1.0,
               shadow_off=(1, 1.5), shadow_r=1.0, S=S)
    return downsample(img, (w, h))


def draw_icon():
    n, S = 32, 8
    W = n * S
    img = Image.new("RGBA", (W, W), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    c = W / 2.0
    d.ellipse((0.5 * S, 0.5 * S, W - 0.5 * S, W - 0.5 * S), fill=(10, 6, 4, 255))
    ring = new_mask((W, W))
    ImageDraw.Draw(ring).ellipse((1.3 * S, 1.3 * S, W - 1.3 * S, W - 1.3 * S), fill=255)
    paint(img, ring, vgradient(W, W, METAL))
    d.ellipse((3.6 * S, 3.6 * S, W - 3.6 * S, W - 3.6 * S), fill=(6, 16, 6, 255))
    inner = new_mask((W, W))
    ImageDraw.Draw(inner).ellipse((4.3 * S, 4.3 * S, W - 4.3 * S, W - 4.3 * S), fill=255)
    paint(img, inner, vgradient(W, W, [(0, (40, 96, 34)), (1, (8, 30, 8))]))
    # the dragon's eye: an almond of fire with a slit pupil
    eye_w, eye_h = 11.5 * S, 6.8 * S
    upper = quad((c - eye_w, c), (c, c - eye_h * 2), (c + eye_w, c), 20)
    lower = quad((c + eye_w, c), (c, c + eye_h * 2), (c - eye_w, c), 20)
    almond = [(c - eye_w, c)] + upper + lower
    d.polygon([(x, y) for x, y in inset_poly(almond, -0.9 * S)], fill=(14, 4, 2, 255))
    em = poly_mask((W, W), almond)
    iris = Image.radial_gradient("L").resize((W, W))
    iris_col = Image.merge("RGB", [curve(iris, 0, 200, 1.0, 255).point(lambda v: 255 - v // 5),
                                   curve(iris, 0, 200, 0.7, 255).point(lambda v: 235 - int(v * 0.8)),
                                   curve(iris, 0, 130, 1.0, 255).point(lambda v: max(0, 90 - v))])
    paint(img, em, iris_col)
    pupil = [(c, c - eye_h * 1.05)] + quad((c, c - eye_h * 1.05), (c + 2.6 * S, c), (c, c + eye_h * 1.05), 10) + \
        quad((c, c + eye_h * 1.05), (c - 2.6 * S, c), (c, c - eye_h * 1.05), 10)
    paint(img, ImageChops.multiply(poly_mask((W, W), pupil), em), (8, 2, 0))
    hl = new_mask((W, W))
    ImageDraw.Draw(hl).ellipse((c - 6 * S, c - 4.5 * S, c - 3.2 * S, c - 1.9 * S), fill=255)
    paint(img, ImageChops.multiply(hl, em), (255, 250, 220), 0.9)
    return downsample(img, (n, n))


def write_ico(img, path):
    """One 32 x 32 entry, 32 bits per pixel with its alpha, as a plain DIB."""
    w, h = img.size
    rgba = img.convert("RGBA")
    px = rgba.load()
    xor = bytearray()
    for y in range(h - 1, -1, -1):
        for x in range(w):
            r, g, b, a = px[x, y]
            xor += bytes((b, g, r, a))
    row = ((w + 31) // 32) * 4
    andm = bytearray()
    for y in range(h - 1, -1, -1):
        bits = bytearray(row)
        for x in range(w):
            if px[x, y][3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        andm += bits
    dib = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, len(xor) + len(andm), 0, 0, 0, 0) + xor + andm
    head = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", w, h, 0, 0, 1, 32, len(dib), 6 + 16)
    with open(path, "wb") as f:
        f.write(head + dib)


def draw_menu(kind):
    img = Image.new("RGB", (24, 24), MENU_GROUND)
    px = img.load()
    ink = (48, 48, 48)
    # dashed square: two on, one off, running round the outline
    perim = [(x, 3) for x in range(3, 21)] + [(20, y) for y in range(4, 21)] + \
            [(x, 20) for x in range(19, 2, -1)] + [(3, y) for y in range(19, 3, -1)]
    for i, (x, y) in enumerate(perim):
        if i % 3 != 2:
            px[x, y] = (110, 106, 100)
    d = ImageDraw.Draw(img)
    if kind == "restore":
        d.line((7, 16, 15, 8), fill=ink, width=2)
        d.polygon([(10, 7), (16, 7), (16, 13)], fill=ink)
    elif kind == "minimise":
        d.rectangle((7, 14, 16, 16), fill=ink)
    else:
        red = (150, 20, 20)
        d.line((7, 7, 16, 16), fill=red, width=2)
        d.line((7, 16, 16, 7), fill=red, width=2)
    return img


# ---------------------------------------------------------------- output, checks and preview

def generate(outdir):
    os.makedirs(outdir, exist_ok=True)

    def save_bmp(img, name):
        img.convert("RGB").save(os.path.join(outdir, name), "BMP")

    def save_png(img, name):
        img.convert("RGBA").save(os.path.join(outdir, name), "PNG")

    save_bmp(draw_background(), "background.bmp")
    save_png(draw_bats(), "frame.png")
    save_png(draw_trough(), "trough.png")
    save_bmp(draw_bar(940, 15), "bar_total.bmp")
    save_bmp(draw_bar(235, 18), "bar_file.bmp")
    for name, img in sorted(draw_buttons().items()):
        save_png(img, name)
    save_png(draw_skull(), "skull.png")
    save_png(draw_notice(), "notice.png")
    write_ico(draw_icon(), os.path.join(outdir, "icon.ico"))
    for kind in ("restore", "minimise", "close"):
        save_bmp(draw_menu(kind), "menu_%s.bmp" % kind)


def read_ico(path):
    """The single entry of an icon file as an RGBA image, or raises ValueError."""
    with open(path, "rb") as f:
        data = f.read()
    reserved, typ, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or typ != 1 or count != 1:
        raise ValueError("icon must hold exactly one image (count %d)" % count)
    w, h, colours, _, planes, bpp, size, offset = struct.unpack_from("<BBBBHHII", data, 6)
    if (w, h, bpp) != (32, 32, 32) or offset + size != len(data):
        raise ValueError("icon entry is %dx%d %dbpp" % (w, h, bpp))
    hsize, dw, dh, dplanes, dbpp = struct.unpack_from("<IiiHH", data, offset)
    if hsize != 40 or (dw, dh, dbpp) != (32, 64, 32):
        raise ValueError("icon image header is %dx%d %dbpp" % (dw, dh, dbpp))
    img = Image.new("RGBA", (32, 32))
    px = img.load()
    p = offset + 40
    for y in range(31, -1, -1):
        for x in range(32):
            b, g, r, a = data[p:p + 4]
            px[x, y] = (r, g, b, a)
            p += 4
    return img


def differs(a, b):
    diff = ImageChops.difference(a.convert("RGBA"), b.convert("RGBA"))
    return any(band.getbbox() is not None for band in diff.split())


def check(outdir):
    """Returns a list of problems with the pictures in outdir."""
    errors = []

    def err(msg):
        errors.append(msg)

    loaded = {}
    for name, (w, h, kind) in PICTURES.items():
        path = os.path.join(outdir, name)
        if not os.path.isfile(path):
            err("%s: missing" % name)
            continue
        if kind == "ico":
            try:
                img = read_ico(path)
            except ValueError as e:
                err("%s: %s" % (name, e))
                continue
            alphas = set(img.getchannel("A").getdata())
            if not (0 in alphas and 255 in alphas):
                err("%s: alpha does not shape the icon" % name)
        else:
            img = Image.open(path)
            img.load()
            if img.size != (w, h):
                err("%s: size %s, want %dx%d" % (name, img.size, w, h))
            if kind == "bmp24":
                with open(path, "rb") as f:
                    head = f.read(34)
                bpp, comp = struct.unpack_from("<HI", head, 28)
                if head[:2] != b"BM" or bpp != 24 or comp != 0:
                    err("%s: not an uncompressed 24-bit bitmap (%d bpp)" % (name, bpp))
            elif img.format != "PNG" or img.mode != "RGBA":
                err("%s: %s %s, want PNG RGBA" % (name, img.format, img.mode))
        loaded[name] = img
    for name in ("btn_exit_hover.png", "btn_min_hover.png", "btn_web_hover.png", "btn_forum_hover.png"):
        if os.path.exists(os.path.join(outdir, name)):
            err("%s: the small buttons reuse their normal picture for hover" % name)
    if errors:
        return errors

    bg = loaded["background.bmp"].convert("RGB")
    if bg.getpixel((0, 0)) != KEY:
        err("background.bmp: top-left pixel is %s, not the key colour" % (bg.getpixel((0, 0)),))
    w, h = bg.size
    data = list(bg.getdata())
    wrong = [(i % w, i // w) for i, c in enumerate(data) if (c == KEY) != in_key_frame(i % w, i // w, w, h)]
    if wrong:
        err("background.bmp: %d pixels break the key-coloured frame, first at %s" % (len(wrong), wrong[0]))

    for group in (("btn_check_normal.png", "btn_check_hover.png", "btn_check_down.png"),
                  ("btn_play_normal.png", "btn_play_hover.png", "btn_play_down.png"),
                  ("btn_exit_normal.png", "btn_exit_down.png"), ("btn_min_normal.png", "btn_min_down.png"),
                  ("btn_web_normal.png", "btn_web_down.png"), ("btn_forum_normal.png", "btn_forum_down.png")):
        for i, a in enumerate(group):
            for b in group[i + 1:]:
                if not differs(loaded[a], loaded[b]):
                    err("%s and %s are identical" % (a, b))

    for name, (vw, vh) in (("btn_play_normal.png", PLAY_VISIBLE), ("btn_play_hover.png", PLAY_VISIBLE),
                           ("btn_play_down.png", PLAY_VISIBLE), ("notice.png", NOTICE_VISIBLE),
                           ("frame.png", FRAME_VISIBLE)):
        # faint fringes of a shadow may be cut off; anything visible may not
        box = loaded[name].getchannel("A").point(lambda v: 255 if v >= 16 else 0).getbbox()
        if box is None or box[2] > vw or box[3] > vh:
            err("%s: drawn outside the %dx%d that the window shows (%s)" % (name, vw, vh, box))
    for name in ("skull.png", "trough.png", "frame.png"):
        a = loaded[name].getchannel("A")
        if a.getextrema()[0] != 0 or a.getbbox() is None:
            err("%s: needs both transparent and drawn pixels" % name)

    for name in ("bar_total.bmp", "bar_file.bmp"):
        bar = loaded[name].convert("RGB")
        bw, bh = bar.size
        top, mid, bot = bar.getpixel((0, 0)), bar.getpixel((0, bh // 2)), bar.getpixel((0, bh - 1))
        if not (sum(mid) > sum(top) + 120 and sum(mid) > sum(bot) + 120 and mid[1] > mid[0] and mid[1] > mid[2]):
            err("%s: not a green bar lighter in the middle (%s %s %s)" % (name, top, mid, bot))

    for name in ("menu_restore.bmp", "menu_minimise.bmp", "menu_close.bmp"):
        m = loaded[name].convert("RGB")
        corners = {m.getpixel(p) for p in ((0, 0), (23, 0), (0, 23), (23, 23))}
        if corners != {MENU_GROUND}:
            err("%s: corners are not the menu ground colour" % name)
        if len(m.getcolors()) < 3:
            err("%s: no drawing on it" % name)
    a, b, c = (loaded[n].convert("RGB") for n in ("menu_restore.bmp", "menu_minimise.bmp", "menu_close.bmp"))
    if not differs(a, b) or not differs(b, c) or not differs(a, c):
        err("menu pictures are not distinct")
    return errors


def preview(outdir, path):
    """The window's idle and update views, plus every state of every button."""
    pic = {}
    for name, (w, h, kind) in PICTURES.items():
        p = os.path.join(outdir, name)
        pic[name] = read_ico(p) if kind == "ico" else Image.open(p).convert("RGBA")
    desktop = (40, 70, 100, 255)

    def window():
        bg = pic["background.bmp"].copy()
        px = bg.load()
        for y in range(BG_H):
            for x in range(BG_W):
                if px[x, y][:3] == KEY:
                    px[x, y] = desktop
        return bg

    def put(dst, name, x, y, cw=None, ch=None):
        im = pic[name]
        if cw is not None:
            im = im.crop((0, 0, min(cw, im.width), min(ch, im.height)))
        dst.alpha_composite(im, (x, y))

    def label(dst, text, x, y, w, h, right):
        fnt = font(SERIF, 12)
        m = new_mask(dst.size)
        d = ImageDraw.Draw(m)
        left, top, rt, bottom = d.textbbox((0, 0), text, font=fnt)
        tx = x + w - rt if right else x - left
        d.text((tx, y + h - bottom), text, font=fnt, fill=255)
        bb = m.getbbox()
        if bb:
            paint(dst, m, vgradient(dst.width, dst.height, [(0, (0xF2, 0xD8, 0x9A)), (1, (0xC0, 0x87, 0x51))],
                                    bb[1], bb[3]))

    idle = window()
    put(idle, "btn_check_normal.png", 679, 464, 290, 50)
    put(idle, "btn_exit_normal.png", 822, 14, 120, 40)
    put(idle, "btn_min_normal.png", 663, 14, 120, 40)
    put(idle, "btn_play_normal.png", 356, 416, 285, 90)
    put(idle, "btn_web_normal.png", 40, 14, 120, 40)
    put(idle, "btn_forum_normal.png", 206, 14, 120, 40)

    upd = window()
    put(upd, "frame.png", 376, 128, 177, 153)
    put(upd, "trough.png", 12, 481, 960, 30)
    bar = Image.new("RGBA", (940, 15), BAR_GROUND + (255,))
    fill = 583
    bar.paste(pic["bar_total.bmp"].crop((0, 0, fill, 15)), (0, 0))
    upd.alpha_composite(bar, (22, 488))
    put(upd, "btn_exit_normal.png", 822, 14, 120, 40)
    put(upd, "btn_min_normal.png", 663, 14, 120, 40)
    label(upd, "Descargando...", 20, 462, 329, 17, False)
    label(upd, "system\\data\\textures.pak", 640, 462, 316, 17, True)
    put(upd, "skull.png", 378, 393, 244, 97)
    put(upd, "notice.png", 587, 300, 350, 75)
    put(upd, "btn_web_normal.png", 40, 14, 120, 40)
    put(upd, "btn_forum_normal.png", 206, 14, 120, 40)

    gallery = Image.new("RGBA", (BG_W, 420), (58, 54, 52, 255))
    x, y = 10, 10
    for st in ("normal", "hover", "down"):
        gallery.alpha_composite(pic["btn_play_%s.png" % st], (x, y))
        gallery.alpha_composite(pic["btn_check_%s.png" % st], (x, y + 104))
        x += 300
    y = 170
    x = 10
    for name in ("exit", "min", "web", "forum"):
        gallery.alpha_composite(pic["btn_%s_normal.png" % name], (x, y))
        gallery.alpha_composite(pic["btn_%s_down.png" % name], (x, y + 46))
        x += 128
    gallery.alpha_composite(pic["skull.png"], (530, 170))
    gallery.alpha_composite(pic["frame.png"], (790, 170))
    gallery.alpha_composite(pic["notice.png"], (10, 270))
    gallery.alpha_composite(pic["icon.ico"], (510, 280))
    gallery.alpha_composite(pic["icon.ico"].resize((128, 128), Image.NEAREST), (560, 270))
    for i, n in enumerate(("menu_restore.bmp", "menu_minimise.bmp", "menu_close.bmp")):
        gallery.alpha_composite(pic[n], (710 + i * 30, 280))
        gallery.alpha_composite(pic[n].resize((72, 72), Image.NEAREST), (700 + i * 80, 320))
    gallery.alpha_composite(pic["trough.png"].crop((0, 0, 480, 30)), (10, 370))
    gallery.alpha_composite(pic["bar_file.bmp"], (500, 376))

    out = Image.new("RGBA", (BG_W, BG_H * 2 + 420 + 20), (20, 20, 20, 255))
    out.alpha_composite(idle, (0, 0))
    out.alpha_composite(upd, (0, BG_H + 10))
    out.alpha_composite(gallery, (0, BG_H * 2 + 20))
    out.convert("RGB").save(path)


def main(argv):
    ap = argparse.ArgumentParser(description="Draws the launcher window's pictures.")
    ap.add_argument("outdir")
    ap.add_argument("--check", action="store_true", help="only check the pictures already in OUTDIR")
    ap.add_argument("--preview", metavar="PNG", help="also write a composite of the window's views")
    args = ap.parse_args(argv)
    if not args.check:
        generate(args.outdir)
    problems = check(args.outdir)
    for p in problems:
        sys.stderr.write("draw_art: %s\n" % p)
    if problems:
        return 1
    if args.preview:
        preview(args.outdir, args.preview)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
