#!/usr/bin/env python3
"""Draws resources/logo.ico: a teal disc with a white ring and dot (a page being fed).

Plain 32-bit BMP entries at 16, 32, 48, 64 and 128 pixels, no third-party modules. Given a
name ending in .png it draws one 128-pixel PNG instead (the menu icon of the package).
Run: python3 tools/make-logo.py resources/logo.ico
     python3 tools/make-logo.py resources/pelorin.png
"""
import math
import struct
import sys
import zlib


def pixel(x, y, size):
    c = (size - 1) / 2.0
    r = math.hypot(x - c, y - c) / (size / 2.0)

    def cover(edge, inside):
        # one pixel of anti-aliasing at every edge
        d = (edge - r) * size / 2.0
        v = max(0.0, min(1.0, d + 0.5))
        return v if inside else 1.0 - v

    disc = cover(0.96, True)
    ring = cover(0.62, True) * cover(0.44, False)
    dot = cover(0.2, True)
    white = max(ring, dot)
    top = 1.0 - y / size
    base = (int(20 + 30 * top), int(120 + 60 * top), int(140 + 50 * top))
    rgb = tuple(int(b + (255 - b) * white) for b in base)
    return rgb + (int(255 * disc),)


def bmp_entry(size):
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in range(size - 1, -1, -1):  # bottom-up
        row = bytearray()
        for x in range(size):
            r, g, b, a = pixel(x, y, size)
            row += bytes((b, g, r, a))
        rows.append(bytes(row))
    mask_row = bytes(((size + 31) // 32) * 4)
    return header + b''.join(rows) + mask_row * size


def png(size):
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    rows = b''.join(b'\0' + bytes(v for x in range(size) for v in pixel(x, y, size))
                    for y in range(size))
    header = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header)
            + chunk(b'IDAT', zlib.compress(rows, 9)) + chunk(b'IEND', b''))


def main(path):
    if path.endswith('.png'):
        with open(path, 'wb') as f:
            f.write(png(128))
        return
    sizes = [16, 32, 48, 64, 128]
    images = [bmp_entry(s) for s in sizes]
    out = bytearray(struct.pack('<HHH', 0, 1, len(sizes)))
    offset = 6 + 16 * len(sizes)
    for s, img in zip(sizes, images):
        out += struct.pack('<BBBBHHII', s % 256, s % 256, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    for img in images:
        out += img
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'resources/logo.ico')
