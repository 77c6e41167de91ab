#!/usr/bin/env python3
"""Draws the banner bitmap and the application icon of the Downloader.

Usage: make_art.py OUTPUT_FOLDER
Writes banner.bmp (365 x 94, 24 bits per pixel, bottom-up) and app.ico
(eight images: 32/16 at 4 bits, 48/32/16 at 8 bits, 48 at 32, 32 at 24 and
16 at 32 bits, each a DIB with an AND mask). Standard library only.
"""
import struct
import sys
from pathlib import Path

BANNER_WIDTH, BANNER_HEIGHT = 365, 94

# A 5 x 7 pixel font for the letters of the banner's caption.
FONT = {
    "Q": ["01110", "10001", "10001", "10001", "10101", "10010", "01101"],
    "u": ["00000", "00000", "10001", "10001", "10001", "10011", "01101"],
    "i": ["00100", "00000", "01100", "00100", "00100", "00100", "01110"],
    "l": ["01100", "00100", "00100", "00100", "00100", "00100", "01110"],
    "o": ["00000", "00000", "01110", "10001", "10001", "10001", "01110"],
    "C": ["01110", "10001", "10000", "10000", "10000", "10001", "01110"],
    "a": ["00000", "00000", "01110", "00001", "01111", "10001", "01111"],
    "m": ["00000", "00000", "11010", "10101", "10101", "10001", "10001"],
    "K": ["10001", "10010", "10100", "11000", "10100", "10010", "10001"],
    "t": ["01000", "01000", "11100", "01000", "01000", "01001", "00110"],
    "D": ["11110", "10001", "10001", "10001", "10001", "10001", "11110"],
    "w": ["00000", "00000", "10001", "10001", "10101", "10101", "01010"],
    "n": ["00000", "00000", "10110", "11001", "10001", "10001", "10001"],
    "d": ["00001", "00001", "01101", "10011", "10001", "10011", "01101"],
    "e": ["00000", "00000", "01110", "10001", "11111", "10000", "01110"],
    "r": ["00000", "00000", "10110", "11001", "10000", "10000", "10000"],
    " ": ["00000"] * 7,
}


def draw_text(pixels, width, height, text, left, top, scale, colour):
    x = left
    for character in text:
        glyph = FONT[character]
        for row, bits in enumerate(glyph):
            for column, bit in enumerate(bits):
                if bit != "1":
                    continue
                for dy in range(scale):
                    for dx in range(scale):
                        px, py = x + column * scale + dx, top + row * scale + dy
                        if 0 <= px < width and 0 <= py < height:
                            pixels[py][px] = colour
        x += 6 * scale


def camera_pixel(x, y, size):
    """Colour (r, g, b, alpha) of the icon's camera at (x, y), top-down."""
    u, v = (x + 0.5) / size, (y + 0.5) / size
    body = 0.08 <= u <= 0.92 and 0.28 <= v <= 0.84
    bump = 0.30 <= u <= 0.58 and 0.16 <= v <= 0.30
    distance = ((u - 0.5) ** 2 + (v - 0.56) ** 2) ** 0.5
    if distance <= 0.13:
        return (40, 170, 230, 255)
    if distance <= 0.21:
        return (20, 30, 60, 255)
    if body or bump:
        return (60, 90, 150, 255)
    return None


def banner():
    pixels = []
    for y in range(BANNER_HEIGHT):
        row = []
        for x in range(BANNER_WIDTH):
            shade = x / (BANNER_WIDTH - 1)
            row.append((int(20 + 30 * shade), int(70 + 60 * shade), int(150 + 80 * shade)))
        pixels.append(row)
    for y in range(BANNER_HEIGHT - 6, BANNER_HEIGHT):
        for x in range(BANNER_WIDTH):
            pixels[y][x] = (240, 170, 40)
    draw_text(pixels, BANNER_WIDTH, BANNER_HEIGHT, "QuilloCamKit", 96, 24, 3, (255, 255, 255))
    draw_text(pixels, BANNER_WIDTH, BANNER_HEIGHT, "Downloader", 102, 60, 2, (220, 235, 255))
    for y in range(64):
        for x in range(64):
            colour = camera_pixel(x, y, 64)
            if colour:
                pixels[15 + y][16 + x] = colour[:3]

    row_bytes = (BANNER_WIDTH * 3 + 3) // 4 * 4
    body = bytearray()
    for y in reversed(range(BANNER_HEIGHT)):
        line = bytearray()
        for r, g, b in pixels[y]:
            line += bytes((b, g, r))
        line += b"\0" * (row_bytes - len(line))
        body += line
    info = struct.pack("<IiiHHIIiiII", 40, BANNER_WIDTH, BANNER_HEIGHT, 1, 24, 0, len(body), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(body), 0, 0, 14 + len(info))
    return header + info + bytes(body)


def palette_16():
    base = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
            (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
            (255, 0, 255), (0, 255, 255), (255, 255, 255)]
    return base


def palette_256():
    colours = palette_16()
    levels = (0, 51, 102, 153, 204, 255)
    for r in levels:
        for g in levels:
            for b in levels:
                colours.append((r, g, b))
    while len(colours) < 256:
        grey = (len(colours) - 232) * 10
        colours.append((grey, grey, grey))
    return colours


def nearest(palette, colour):
    return min(range(len(palette)), key=lambda i: sum((a - b) ** 2 for a, b in zip(palette[i], colour)))


def icon_image(size, bits):
    """One icon image: BITMAPINFOHEADER, colour table, XOR bits, AND mask."""
    palette = palette_16() if bits == 4 else palette_256() if bits == 8 else []
    xor_row = (size * bits + 31) // 32 * 4
    and_row = (size + 31) // 32 * 4
    xor = bytearray()
    mask = bytearray()
    for y in reversed(range(size)):
        line = bytearray()
        mask_line = bytearray(and_row)
        nibbles = []
        for x in range(size):
            colour = camera_pixel(x, y, size)
            transparent = colour is None
            if transparent:
                mask_line[x // 8] |= 0x80 >> (x % 8)
                rgb, alpha = (0, 0, 0), 0
            else:
                rgb, alpha = colour[:3], colour[3]
            if bits == 32:
                line += bytes((rgb[2], rgb[1], rgb[0], alpha))
            elif bits == 24:
                line += bytes((rgb[2], rgb[1], rgb[0]))
            elif bits == 8:
                line.append(nearest(palette, rgb))
            else:
                nibbles.append(nearest(palette, rgb))
        if bits == 4:
            for i in range(0, size, 2):
                line.append((nibbles[i] << 4) | nibbles[i + 1])
        line += b"\0" * (xor_row - len(line))
        xor += line
        mask += mask_line
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, len(xor) + len(mask), 0, 0,
                         len(palette), 0)
    return header + table + bytes(xor) + bytes(mask)


ICON_IMAGES = [(32, 4), (16, 4), (48, 8), (32, 8), (16, 8), (48, 32), (32, 24), (16, 32)]


def icon():
    images = [icon_image(size, bits) for size, bits in ICON_IMAGES]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for (size, bits), image in zip(ICON_IMAGES, images):
        colours = 16 if bits == 4 else 0
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0, 1, bits, len(image), offset)
        offset += len(image)
    return directory + entries + b"".join(images)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_art.py OUTPUT_FOLDER")
    folder = Path(sys.argv[1])
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "banner.bmp").write_bytes(banner())
    (folder / "app.ico").write_bytes(icon())


if __name__ == "__main__":
    main()
