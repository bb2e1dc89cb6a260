"""A small PNG reader for the panel's screenshots: 8-bit grey, RGB, grey with alpha and RGBA,
not interlaced. Pixels come back as 0xRRGGBB (alpha dropped)."""
from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass

_SIGNATURE = b"\x89PNG\r\n\x1a\n"
_CHANNELS = {0: 1, 2: 3, 4: 2, 6: 4}


@dataclass(frozen=True)
class Picture:
    width: int
    height: int
    channels: int
    data: bytes  # rows of width * channels bytes, filters undone
    text: dict

    def at(self, x: int, y: int) -> int:
        """The pixel at (x, y) as 0xRRGGBB."""
        if not (0 <= x < self.width and 0 <= y < self.height):
            raise IndexError(f"({x}, {y}) is outside the {self.width}x{self.height} picture")
        at = (y * self.width + x) * self.channels
        if self.channels < 3:
            grey = self.data[at]
            return grey << 16 | grey << 8 | grey
        r, g, b = self.data[at:at + 3]
        return r << 16 | g << 8 | b

    def rgb(self, x: int, y: int) -> tuple[int, int, int]:
        value = self.at(x, y)
        return value >> 16, value >> 8 & 0xFF, value & 0xFF


def _unfilter(raw: bytes, width: int, height: int, bpp: int) -> bytes:
    stride = width * bpp
    out = bytearray(stride * height)
    prior = bytearray(stride)
    at = 0
    for y in range(height):
        kind = raw[at]
        line = bytearray(raw[at + 1:at + 1 + stride])
        at += 1 + stride
        if kind == 1:
            for i in range(bpp, stride):
                line[i] = (line[i] + line[i - bpp]) & 0xFF
        elif kind == 2:
            # Bytewise addition without carries between the bytes, on whole rows at once.
            a = int.from_bytes(line, "big")
            b = int.from_bytes(prior, "big")
            low = int.from_bytes(b"\x7f" * stride, "big")
            line = bytearray((((a & low) + (b & low)) ^ ((a ^ b) & ~low)).to_bytes(stride, "big"))
        elif kind == 3:
            for i in range(stride):
                left = line[i - bpp] if i >= bpp else 0
                line[i] = (line[i] + ((left + prior[i]) >> 1)) & 0xFF
        elif kind == 4:
            for i in range(stride):
                a = line[i - bpp] if i >= bpp else 0
                b = prior[i]
                c = prior[i - bpp] if i >= bpp else 0
                pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[i] = (line[i] + pred) & 0xFF
        elif kind != 0:
            raise ValueError(f"PNG row {y} has an unknown filter {kind}")
        out[y * stride:(y + 1) * stride] = line
        prior = line
    return bytes(out)


def decode_png(data: bytes) -> Picture:
    if not data.startswith(_SIGNATURE):
        raise ValueError("not a PNG file")
    at = len(_SIGNATURE)
    header = None
    chunks = []
    text = {}
    while at + 8 <= len(data):
        length, kind = struct.unpack_from(">I4s", data, at)
        body = data[at + 8:at + 8 + length]
        at += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            chunks.append(body)
        elif kind == b"tEXt":
            key, _, value = body.partition(b"\0")
            text[key.decode("latin-1")] = value.decode("latin-1")
        elif kind == b"IEND":
            break
    if header is None:
        raise ValueError("a PNG file without a header")
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in _CHANNELS or interlace != 0:
        raise ValueError(f"unsupported PNG: depth {depth}, colour type {colour}, interlace {interlace}")
    channels = _CHANNELS[colour]
    raw = zlib.decompress(b"".join(chunks))
    if len(raw) != height * (1 + width * channels):
        raise ValueError("the PNG file's pixel data is cut short")
    return Picture(width, height, channels, _unfilter(raw, width, height, channels), text)
