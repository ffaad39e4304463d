#!/usr/bin/python3
"""Renders updater.mvg into updater.ico: 256, 48, 32 and 16 pixels square,
each as a 32-bpp image with alpha and as an 8-bpp palettized image with a
transparency mask. The 256 x 256 image with alpha is stored PNG-compressed,
as Windows Vista and later read it; every other image is a DIB, which
Windows XP reads too.

ImageMagick draws, scales and reduces the colours (CONVERT names its
convert, default "convert"); this script builds the palettes, masks and
containers.

    render_icon.py [OUTPUT.ico]     (default: updater.ico beside this script)

The generated updater.ico is kept in the source tree, so the build needs
neither this script nor ImageMagick.
"""

import os
import struct
import subprocess
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "updater.mvg")
SIZES = (256, 48, 32, 16)
CONVERT = os.environ.get("CONVERT", "convert")


def run(args, data=None):
    return subprocess.run([CONVERT] + args, input=data, stdout=subprocess.PIPE, check=True).stdout


def render_rgba(size):
    """The drawing at size x size: bytes R, G, B, A per pixel, top row first."""
    args = ["-background", "none", "mvg:" + SOURCE]
    if size != 256:
        args += ["-resize", "%dx%d" % (size, size)]
    pixels = run(args + ["-depth", "8", "rgba:-"])
    if len(pixels) != size * size * 4:
        sys.exit("render_icon: %d bytes for a %d-pixel image" % (len(pixels), size))
    return pixels


def opaque_mask(rgba):
    """True for each pixel that an 8-bpp icon shows (alpha of half or more)."""
    return [rgba[i + 3] >= 128 for i in range(0, len(rgba), 4)]


def and_mask_rows(mask, size):
    """The 1-bpp AND mask, bottom row first, rows padded to 32 bits; a set
    bit lets the background through."""
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for y in reversed(range(size)):
        row = bytearray(stride)
        for x in range(size):
            if not mask[y * size + x]:
                row[x // 8] |= 0x80 >> (x % 8)
        out += row
    return bytes(out)


def bitmap_header(size, bpp, image_bytes):
    # BITMAPINFOHEADER; an icon's height counts the XOR and AND bitmaps.
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, image_bytes, 0, 0, 0, 0)


def dib_32(rgba, size):
    xor = bytearray()
    for y in reversed(range(size)):
        for x in range(size):
            r, g, b, a = rgba[(y * size + x) * 4:(y * size + x) * 4 + 4]
            xor += bytes((b, g, r, a))
    mask = and_mask_rows([rgba[i + 3] != 0 for i in range(0, len(rgba), 4)], size)
    return bitmap_header(size, 32, len(xor) + len(mask)) + bytes(xor) + mask


def dib_8(rgba, size):
    shown = opaque_mask(rgba)
    rgb = bytearray()
    first = next((i for i, visible in enumerate(shown) if visible), None)
    fill = rgba[first * 4:first * 4 + 3] if first is not None else b"\0\0\0"
    for i, visible in enumerate(shown):
        # Hidden pixels take a colour that is there anyway, so that they do
        # not cost a palette entry.
        rgb += rgba[i * 4:i * 4 + 3] if visible else fill
    # 255 colours from ImageMagick; entry 0 stays black for the hidden
    # pixels, which the AND mask lets through.
    quantized = run(["-size", "%dx%d" % (size, size), "-depth", "8", "rgb:-",
                     "+dither", "-colors", "255", "-depth", "8", "rgb:-"], bytes(rgb))
    palette = [b"\0\0\0"]
    index_of = {}
    indices = []
    for i in range(size * size):
        if not shown[i]:
            indices.append(0)
            continue
        colour = quantized[i * 3:i * 3 + 3]
        if colour not in index_of:
            index_of[colour] = len(palette)
            palette.append(colour)
        indices.append(index_of[colour])
    if len(palette) > 256:
        sys.exit("render_icon: %d colours at %d pixels" % (len(palette), size))
    table = b"".join(bytes((c[2], c[1], c[0], 0)) for c in palette)
    table += b"\0" * (1024 - len(table))
    stride = (size + 3) // 4 * 4
    xor = bytearray()
    for y in reversed(range(size)):
        row = bytearray(stride)
        row[:size] = bytes(indices[y * size:(y + 1) * size])
        xor += row
    mask = and_mask_rows(shown, size)
    return bitmap_header(size, 8, len(xor) + len(mask)) + table + bytes(xor) + mask


def png_32(rgba, size):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + rgba[y * size * 4:(y + 1) * size * 4] for y in range(size))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "updater.ico")
    images = []  # (size, bpp, bytes)
    for size in SIZES:
        rgba = render_rgba(size)
        images.append((size, 32, png_32(rgba, size) if size == 256 else dib_32(rgba, size)))
        images.append((size, 8, dib_8(rgba, size)))
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    for size, bpp, data in images:
        # ICONDIRENTRY: 0 stands for 256 pixels, and for 256 colours.
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, bpp, len(data), offset)
        offset += len(data)
    with open(output, "wb") as f:
        f.write(directory + entries + b"".join(data for _, _, data in images))


if __name__ == "__main__":
    main()
