"""PNG reading and writing for the guide's scripts (Python 3's core only: struct and zlib).

decode() reads 8-bit, non-interlaced RGB, RGBA and palette PNGs, the kinds the window tests,
the guide's pictures and the browser's screenshots are, into rows of RGB bytes (alpha dropped);
encode() writes rows of RGB bytes back, as a palette PNG when there are at most 256 colours.
"""
import struct
import zlib

SIGNATURE = b"\x89PNG\r\n\x1a\n"


def _chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def _unfilter(ftype, line, prev, bpp):
    """One row's bytes with its filter undone (in place)."""
    if ftype == 0:
        return line
    if ftype == 2:
        return bytearray((v + u) & 0xFF for v, u in zip(line, prev))
    for i in range(len(line)):
        a = line[i - bpp] if i >= bpp else 0
        b, c = prev[i], prev[i - bpp] if i >= bpp else 0
        if ftype == 1:
            line[i] = (line[i] + a) & 0xFF
        elif ftype == 3:
            line[i] = (line[i] + (a + b) // 2) & 0xFF
        elif ftype == 4:
            p = a + b - c
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        else:
            raise ValueError("unknown row filter %d" % ftype)
    return line


def decode(data):
    """(width, height, RGB rows) of a PNG's bytes; ValueError when it is none or not one of the
    kinds above, or when its data is cut short."""
    if data[:8] != SIGNATURE:
        raise ValueError("not a PNG file")
    pos, idat, header, palette, ended = 8, [], None, None, False
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if len(body) != length:
            raise ValueError("a chunk is cut short")
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"PLTE":
            palette = [body[i:i + 3] for i in range(0, len(body) - 2, 3)]
        elif kind == b"IDAT":
            idat.append(body)
        elif kind == b"IEND":
            ended = True
            break
        pos += 12 + length
    if header is None or not ended:
        raise ValueError("no IHDR or no IEND")
    w, h, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 3, 6) or interlace or (colour == 3 and not palette):
        raise ValueError("not an 8-bit RGB, RGBA or palette PNG")
    bpp = {2: 3, 3: 1, 6: 4}[colour]
    stride = w * bpp
    try:
        raw = zlib.decompress(b"".join(idat))
    except zlib.error as e:
        raise ValueError("bad image data: %s" % e)
    if len(raw) != h * (stride + 1):
        raise ValueError("image data of %d bytes, %d expected" % (len(raw), h * (stride + 1)))
    rows, prev = [], bytearray(stride)
    for y in range(h):
        start = y * (stride + 1)
        line = _unfilter(raw[start], bytearray(raw[start + 1:start + 1 + stride]), prev, bpp)
        if colour == 2:
            rows.append(bytes(line))
        elif colour == 6:
            rows.append(bytes(v for x in range(0, stride, 4) for v in line[x:x + 3]))
        else:
            if max(line, default=0) >= len(palette):
                raise ValueError("a pixel outside the palette")
            rows.append(b"".join(palette[i] for i in line))
        prev = line
    return w, h, rows


def read(path):
    with open(path, "rb") as f:
        return decode(f.read())


def encode(w, h, rows):
    """RGB rows as PNG: indexed colour when there are at most 256 colours (a third smaller for
    the window's shots), else 8-bit RGB; zlib's highest level."""
    palette = {}
    for row in rows:
        for x in range(0, w * 3, 3):
            palette.setdefault(row[x:x + 3], len(palette))
        if len(palette) > 256:
            palette = None
            break
    if palette is None:
        header, extra = struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0), b""
        raw = b"".join(b"\x00" + r for r in rows)
    else:
        header, extra = struct.pack(">IIBBBBB", w, h, 8, 3, 0, 0, 0), _chunk(b"PLTE", b"".join(palette))
        raw = b"".join(b"\x00" + bytes(palette[r[x:x + 3]] for x in range(0, w * 3, 3)) for r in rows)
    return (SIGNATURE + _chunk(b"IHDR", header) + extra
            + _chunk(b"IDAT", zlib.compress(raw, 9)) + _chunk(b"IEND", b""))
