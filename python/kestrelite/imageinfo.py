"""What the store rules need to know of an image file, read from its header
alone: the real format, pixel size, colour model, bit depth and whether it
can carry transparency. PNG: the IHDR chunk and any tRNS chunk before the
image data. JPEG: the frame header (SOFn). No pixel is decoded.
"""

import struct
from dataclasses import dataclass

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
PNG_COLOURS = {0: "grey", 2: "rgb", 3: "palette", 4: "grey-alpha", 6: "rgba"}
JPEG_COLOURS = {1: "grey", 3: "rgb", 4: "cmyk"}
# Start-of-frame markers; C4 (Huffman tables), C8 (reserved) and CC
# (arithmetic conditioning) share the range but are not frames.
SOF_MARKERS = frozenset(range(0xC0, 0xD0)) - {0xC4, 0xC8, 0xCC}
STANDALONE_MARKERS = frozenset(range(0xD0, 0xD8)) | {0x01}


@dataclass(frozen=True)
class ImageInfo:
    format: str          # "png" or "jpeg"
    width: int
    height: int
    colour: str          # "rgb", "rgba", "grey", "grey-alpha", "palette", "cmyk"
    bit_depth: int
    transparency: bool   # an alpha channel or a tRNS entry
    bytes: int

    @property
    def alpha(self):
        return self.colour in ("rgba", "grey-alpha")


class ImageError(ValueError):
    """The file is neither a PNG nor a JPEG, or its header is broken."""


def read_info(path):
    with open(path, "rb") as f:
        head = f.read(8)
        f.seek(0, 2)
        size = f.tell()
        f.seek(0)
        if head == PNG_SIGNATURE:
            return _png(f, size)
        if head[:2] == b"\xff\xd8":
            return _jpeg(f, size)
    raise ImageError("neither PNG nor JPEG")


def _png(f, size):
    f.seek(8)
    length, kind = struct.unpack(">I4s", _exact(f, 8))
    if kind != b"IHDR" or length != 13:
        raise ImageError("PNG without an IHDR header")
    width, height, depth, colour = struct.unpack(">IIBB", _exact(f, 10))
    if colour not in PNG_COLOURS:
        raise ImageError(f"PNG with unknown colour type {colour}")
    f.seek(3 + 4, 1)  # compression, filter, interlace; CRC
    transparent = False
    while True:
        header = f.read(8)
        if len(header) < 8:
            raise ImageError("PNG ends before its image data")
        length, kind = struct.unpack(">I4s", header)
        if kind in (b"IDAT", b"IEND"):
            break
        transparent = transparent or kind == b"tRNS"
        f.seek(length + 4, 1)
    return ImageInfo("png", width, height, PNG_COLOURS[colour], depth,
                     transparent or colour in (4, 6), size)


def _jpeg(f, size):
    f.seek(2)
    while True:
        byte = _exact(f, 1)
        if byte != b"\xff":
            raise ImageError("JPEG marker expected")
        marker = _exact(f, 1)[0]
        while marker == 0xFF:  # fill bytes
            marker = _exact(f, 1)[0]
        if marker in STANDALONE_MARKERS:
            continue
        if marker in (0xD9, 0xDA):
            raise ImageError("JPEG without a frame header")
        (length,) = struct.unpack(">H", _exact(f, 2))
        if length < 2:
            raise ImageError("JPEG segment too short")
        if marker in SOF_MARKERS:
            depth, height, width, components = struct.unpack(">BHHB", _exact(f, 6))
            return ImageInfo("jpeg", width, height, JPEG_COLOURS.get(components, f"{components} components"),
                             depth, False, size)
        f.seek(length - 2, 1)


def _exact(f, n):
    data = f.read(n)
    if len(data) != n:
        raise ImageError("file ends inside its header")
    return data
