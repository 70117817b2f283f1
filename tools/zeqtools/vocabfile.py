"""Reading and writing zeq's binary vocabulary format (``*.vocab.bin``).

Layout, every number little-endian::

    header   magic b"ZEQZ", u32 version (1), u32 piece_count,
             u32 pad_id, u32 unk_id, u32 bos_id, u32 eos_id
    records  piece_count times: u32 id, f32 score, u32 len, len bytes of UTF-8

Bytes after the last record are ignored by the loader.
"""

from __future__ import annotations

import os
import struct
from dataclasses import dataclass, field
from typing import Iterable, List, Optional, Sequence, Tuple, Union

MAGIC = b"ZEQZ"
VERSION = 1
_HEADER = struct.Struct("<4s6I")
_RECORD = struct.Struct("<IfI")
_RECORD_BITS = struct.Struct("<III")


@dataclass
class Piece:
    """One record: the piece text, its stored id and its float32 score.

    ``text`` may be ``bytes`` to write a record that is not valid UTF-8
    (useful for tests); ``score_bits``, when set, is written verbatim as the
    32-bit pattern of the score (for NaN payloads and the like).
    """

    text: Union[str, bytes]
    id: int
    score: float = 0.0
    score_bits: Optional[int] = None

    def text_bytes(self) -> bytes:
        return self.text if isinstance(self.text, bytes) else self.text.encode("utf-8")


@dataclass
class VocabFile:
    """The content of a vocabulary file."""

    pieces: List[Piece] = field(default_factory=list)
    pad_id: int = 0
    unk_id: int = 0
    bos_id: int = 0
    eos_id: int = 0
    version: int = VERSION
    piece_count: Optional[int] = None  # header count; None means len(pieces)


PieceLike = Union[Piece, Tuple[Union[str, bytes], int, float]]


def _as_piece(p: PieceLike) -> Piece:
    if isinstance(p, Piece):
        return p
    text, id_, score = p
    return Piece(text, id_, score)


def encode_vocab(
    pieces: Iterable[PieceLike],
    *,
    pad_id: int = 0,
    unk_id: int = 0,
    bos_id: int = 0,
    eos_id: int = 0,
    version: int = VERSION,
    piece_count: Optional[int] = None,
    magic: bytes = MAGIC,
) -> bytes:
    """Return the bytes of a vocabulary file holding ``pieces`` in order.

    ``pieces`` are :class:`Piece` objects or ``(text, id, score)`` tuples.
    ``piece_count``, ``version`` and ``magic`` may be overridden to make
    deliberately broken files.
    """
    records = [_as_piece(p) for p in pieces]
    count = len(records) if piece_count is None else piece_count
    out = [_HEADER.pack(magic, version, count, pad_id, unk_id, bos_id, eos_id)]
    for r in records:
        data = r.text_bytes()
        if r.score_bits is not None:
            out.append(_RECORD_BITS.pack(r.id, r.score_bits, len(data)))
        else:
            out.append(_RECORD.pack(r.id, r.score, len(data)))
        out.append(data)
    return b"".join(out)


def write_vocab(path: Union[str, os.PathLike], pieces: Iterable[PieceLike], **header) -> None:
    """Write a vocabulary file; keywords as for :func:`encode_vocab`."""
    data = encode_vocab(pieces, **header)
    with open(path, "wb") as f:
        f.write(data)


def parse_vocab(data: bytes) -> VocabFile:
    """Parse vocabulary file bytes. Raises ValueError on a broken file.

    Checks what the loader checks, in the same order: magic, version, length,
    and UTF-8 of every text.
    """
    if len(data) < 4:
        raise ValueError("file ends inside the magic")
    if data[:4] != MAGIC:
        raise ValueError(f"bad magic {list(data[:4])}")
    if len(data) < 8:
        raise ValueError("file ends inside the header")
    (version,) = struct.unpack_from("<I", data, 4)
    if version != VERSION:
        raise ValueError(f"version mismatch: expected {VERSION}, got {version}")
    if len(data) < _HEADER.size:
        raise ValueError("file ends inside the header")
    _, _, count, pad, unk, bos, eos = _HEADER.unpack_from(data, 0)
    pos = _HEADER.size
    pieces: List[Piece] = []
    for _ in range(count):
        if pos + _RECORD.size > len(data):
            raise ValueError("file ends inside a record")
        id_, bits, n = _RECORD_BITS.unpack_from(data, pos)
        (score,) = struct.unpack_from("<f", data, pos + 4)
        pos += _RECORD.size
        if pos + n > len(data):
            raise ValueError("file ends inside a piece text")
        raw = data[pos:pos + n]
        pos += n
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as e:
            raise ValueError(f"piece not utf-8: {e}") from None
        pieces.append(Piece(text, id_, score, bits))
    return VocabFile(pieces, pad, unk, bos, eos, version, count)


def read_vocab(path: Union[str, os.PathLike]) -> VocabFile:
    """Read and parse a vocabulary file. Raises ValueError on a broken file."""
    with open(path, "rb") as f:
        return parse_vocab(f.read())


def byte_piece_text(b: int) -> str:
    """The text of the byte piece of byte value ``b``: ``"<0x%02X>"``."""
    return "<0x%02X>" % b


__all__ = [
    "MAGIC",
    "VERSION",
    "Piece",
    "VocabFile",
    "encode_vocab",
    "write_vocab",
    "parse_vocab",
    "read_vocab",
    "byte_piece_text",
]
