#!/usr/bin/env python3
"""Writes the small sample files that the example scripts model.

Run it from anywhere; it writes next to itself. The output is the same on every run, so the
committed samples can be checked against it.
"""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def write(name, data):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)


def chunk_le(tag, body):
    """A RIFF chunk: tag, little-endian size, body (kept even-sized)."""
    assert len(body) % 2 == 0
    return tag + struct.pack("<I", len(body)) + body


def wav():
    rate, count = 8000, 16
    fmt = struct.pack("<HHIIHH", 1, 1, rate, rate * 2, 2, 16)
    samples = b"".join(struct.pack("<h", int(12000 * math.sin(i * math.pi / 4))) for i in range(count))
    info = b"INFO" + b"ICMT" + struct.pack("<I", 6) + b"hello\0"
    body = b"WAVE" + chunk_le(b"fmt ", fmt) + chunk_le(b"LIST", info) + chunk_le(b"data", samples)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def bmp():
    width, height = 4, 3  # 24-bit rows of 12 bytes need no padding
    pixels = b"".join(bytes([(x * 60) % 256, (y * 100) % 256, 200]) for y in range(height) for x in range(width))
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    offset = 14 + len(info)
    header = b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset)
    return header + info + pixels


def chunk_be(tag, body):
    """A PNG chunk: big-endian length, type, data, CRC of type and data."""
    return struct.pack(">I", len(body)) + tag + body + struct.pack(">I", zlib.crc32(tag + body) & 0xFFFFFFFF)


def png():
    width, height = 2, 2
    raw = b"".join(b"\0" + bytes([255, 0, 0, 0, 255, 0]) for _ in range(height))
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    text = b"Comment\0Skeinwork example"
    return (b"\x89PNG\r\n\x1a\n" + chunk_be(b"IHDR", ihdr) + chunk_be(b"tEXt", text)
            + chunk_be(b"IDAT", zlib.compress(raw, 0)) + chunk_be(b"IEND", b""))


def csv():
    rows = [["name", "colour", "count"], ["apple", "red", "3"], ["pear", "", "12"], ["plum", "blue", "7"]]
    return "".join(",".join(r) + "\n" for r in rows).encode("ascii")


if __name__ == "__main__":
    write("sample.wav", wav())
    write("sample.bmp", bmp())
    write("sample.png", png())
    write("sample.csv", csv())
