"""The options section of a vocabulary file: what a model does besides scoring
pieces (its normaliser, what it does with characters no piece covers, which
pieces are not ordinary). docs/file-format.md is the contract; in short,
little-endian throughout::

    magic    b"ZEQO"
    u32      version (1)
    u32      field_count
    fields   field_count times: u32 tag, u32 length, length bytes of payload

    tag 1  normaliser (required)    u32 flags, then the character map (may be empty)
    tag 2  segmentation (required)  u32 flags
    tag 3  piece kinds              u32 n, then n times: u32 position, u32 kind
    tag 4  unknown surface          UTF-8 text decoded for unk_id

The section runs to the end of the file. :func:`parse_options` is strict: an
unknown or repeated tag, a missing required field, a flag bit it does not
know, a malformed character map, kinds out of order or range, a field that
runs past the end and bytes after the last field are all errors, since a
reader that guesses at a behaviour would encode differently from the model.
"""

from __future__ import annotations

import enum
import struct
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple

from .errors import VocabFormatError

OPTIONS_MAGIC = b"ZEQO"
OPTIONS_VERSION = 1

TAG_NORMALISER = 1
TAG_SEGMENTATION = 2
TAG_PIECE_KINDS = 3
TAG_UNKNOWN_SURFACE = 4
_TAG_NAMES = {TAG_NORMALISER: "normaliser", TAG_SEGMENTATION: "segmentation",
              TAG_PIECE_KINDS: "piece kinds", TAG_UNKNOWN_SURFACE: "unknown surface"}
_REQUIRED_TAGS = (TAG_NORMALISER, TAG_SEGMENTATION)

# Normaliser flag bits.
ADD_DUMMY_PREFIX = 1 << 0
REMOVE_EXTRA_WHITESPACES = 1 << 1
ESCAPE_WHITESPACES = 1 << 2
_NORMALISER_BITS = ADD_DUMMY_PREFIX | REMOVE_EXTRA_WHITESPACES | ESCAPE_WHITESPACES
# Segmentation flag bits.
BYTE_FALLBACK = 1 << 0
MERGE_UNKNOWN_RUNS = 1 << 1
_SEGMENTATION_BITS = BYTE_FALLBACK | MERGE_UNKNOWN_RUNS

DEFAULT_UNKNOWN_SURFACE = " \u2047 "
"""What decoding writes for unk_id when the section has no unknown surface."""

_U32 = struct.Struct("<I")
_PAIR = struct.Struct("<II")
_SECTION_HEADER = struct.Struct("<4sII")
_CHARSMAP_UNIT = 1024  # the trie is a whole number of 256 four-byte units


class PieceKind(enum.IntEnum):
    """How a record that is not an ordinary piece behaves."""

    CONTROL = 1  # never matched in text; decodes to nothing
    USER_DEFINED = 2  # matched before normalisation and always kept whole
    UNUSED = 3  # never matched in text
    BYTE = 4  # <0xHH>: used for byte fallback, never matched in text

    @property
    def label(self) -> str:
        return self.name.lower().replace("_", "-")


@dataclass
class VocabOptions:
    """The content of an options section. The defaults are SentencePiece's
    normaliser settings without a character map."""

    add_dummy_prefix: bool = True
    remove_extra_whitespaces: bool = True
    escape_whitespaces: bool = True
    charsmap: bytes = b""  # SentencePiece's precompiled_charsmap, byte for byte
    byte_fallback: bool = False
    merge_unknown_runs: bool = True
    kinds: Dict[int, PieceKind] = field(default_factory=dict)  # record position -> kind
    unk_surface: Optional[str] = None  # None: DEFAULT_UNKNOWN_SURFACE

    @property
    def normaliser_flags(self) -> int:
        return ((ADD_DUMMY_PREFIX if self.add_dummy_prefix else 0)
                | (REMOVE_EXTRA_WHITESPACES if self.remove_extra_whitespaces else 0)
                | (ESCAPE_WHITESPACES if self.escape_whitespaces else 0))

    @property
    def segmentation_flags(self) -> int:
        return ((BYTE_FALLBACK if self.byte_fallback else 0)
                | (MERGE_UNKNOWN_RUNS if self.merge_unknown_runs else 0))


def charsmap_problem(blob: bytes) -> Optional[str]:
    """Why ``blob`` is not a well-framed character map, or None when it is (or
    is empty). Checks the framing only: a u32 trie size that is a positive
    multiple of 1024, the trie, then NUL-terminated replacement texts."""
    # The checks and texts of the native loader (core/src/tokenizer/charsmap.cc).
    if not blob:
        return None
    if len(blob) <= _U32.size:
        return f"character map: blob of {len(blob)} bytes is too short to hold a trie"
    (trie,) = _U32.unpack_from(blob, 0)
    after = len(blob) - _U32.size
    if trie > after:
        return f"character map: trie size {trie} exceeds the {after} bytes after it"
    if trie % _CHARSMAP_UNIT:
        return f"character map: trie size {trie} is not a multiple of {_CHARSMAP_UNIT}"
    if trie == 0:
        return f"character map: trie size {trie} is below {_CHARSMAP_UNIT}"
    if after == trie or blob[-1] != 0:
        return "character map: the replacement texts do not end with a NUL byte"
    return None


def encode_options(options: VocabOptions) -> bytes:
    """The bytes of the section holding ``options``: the two required fields,
    then the piece kinds when there are any and the unknown surface when set."""
    fields: List[Tuple[int, bytes]] = [
        (TAG_NORMALISER, _U32.pack(options.normaliser_flags) + bytes(options.charsmap)),
        (TAG_SEGMENTATION, _U32.pack(options.segmentation_flags)),
    ]
    if options.kinds:
        body = [_U32.pack(len(options.kinds))]
        for position in sorted(options.kinds):
            body.append(_PAIR.pack(position, PieceKind(options.kinds[position])))
        fields.append((TAG_PIECE_KINDS, b"".join(body)))
    if options.unk_surface is not None:
        fields.append((TAG_UNKNOWN_SURFACE, options.unk_surface.encode("utf-8")))
    out = [_SECTION_HEADER.pack(OPTIONS_MAGIC, OPTIONS_VERSION, len(fields))]
    for tag, payload in fields:
        out.append(_PAIR.pack(tag, len(payload)))
        out.append(payload)
    return b"".join(out)


def _fail(message: str) -> VocabFormatError:
    return VocabFormatError("options section: " + message)


def parse_options(data: bytes, piece_count: int) -> VocabOptions:
    """Parse a section: ``data`` runs from its magic to the end of the file;
    ``piece_count`` bounds the positions of the piece kinds. Raises
    :class:`VocabFormatError` with a one-line message on any fault."""
    end = len(data)
    if end < _SECTION_HEADER.size:
        raise _fail(f"ends inside its header ({end} of {_SECTION_HEADER.size} bytes)")
    magic, version, count = _SECTION_HEADER.unpack_from(data, 0)
    if magic != OPTIONS_MAGIC:
        raise _fail(f"bad magic {list(magic)}")
    if version != OPTIONS_VERSION:
        raise _fail(f"version mismatch: expected {OPTIONS_VERSION}, got {version}")
    pos = _SECTION_HEADER.size
    # Every field takes at least its 8-byte head, so a count the remaining
    # bytes cannot hold is refused before the loop.
    if count > (end - pos) // _PAIR.size:
        raise _fail(f"claims {count} fields but only {end - pos} bytes follow")
    payloads: Dict[int, bytes] = {}
    for index in range(count):
        if pos + _PAIR.size > end:
            raise _fail(f"ends inside the head of field {index}")
        tag, length = _PAIR.unpack_from(data, pos)
        pos += _PAIR.size
        if tag not in _TAG_NAMES:
            raise _fail(f"unknown tag {tag} (field {index})")
        if tag in payloads:
            raise _fail(f"tag {tag} ({_TAG_NAMES[tag]}) appears twice")
        if length > end - pos:
            raise _fail(f"field {index} ({_TAG_NAMES[tag]}) claims {length} bytes, "
                        f"only {end - pos} remain")
        payloads[tag] = data[pos:pos + length]
        pos += length
    if pos != end:
        raise _fail(f"{end - pos} bytes after the last field")
    for tag in _REQUIRED_TAGS:
        if tag not in payloads:
            raise _fail(f"the {_TAG_NAMES[tag]} field (tag {tag}) is missing")

    options = VocabOptions()
    normaliser = payloads[TAG_NORMALISER]
    flags = _flags(normaliser, "normaliser", _NORMALISER_BITS, exact=False)
    options.add_dummy_prefix = bool(flags & ADD_DUMMY_PREFIX)
    options.remove_extra_whitespaces = bool(flags & REMOVE_EXTRA_WHITESPACES)
    options.escape_whitespaces = bool(flags & ESCAPE_WHITESPACES)
    options.charsmap = bytes(normaliser[_U32.size:])
    problem = charsmap_problem(options.charsmap)
    if problem:
        raise _fail(problem)
    flags = _flags(payloads[TAG_SEGMENTATION], "segmentation", _SEGMENTATION_BITS, exact=True)
    options.byte_fallback = bool(flags & BYTE_FALLBACK)
    options.merge_unknown_runs = bool(flags & MERGE_UNKNOWN_RUNS)
    if TAG_PIECE_KINDS in payloads:
        options.kinds = _parse_kinds(payloads[TAG_PIECE_KINDS], piece_count)
    if TAG_UNKNOWN_SURFACE in payloads:
        try:
            options.unk_surface = payloads[TAG_UNKNOWN_SURFACE].decode("utf-8")
        except UnicodeDecodeError as e:
            raise _fail(f"unknown surface is not UTF-8 ({e.reason} at byte {e.start})") from None
    return options


def _flags(payload: bytes, name: str, known: int, exact: bool) -> int:
    if len(payload) < _U32.size or (exact and len(payload) != _U32.size):
        wanted = "4" if exact else "at least 4"
        raise _fail(f"{name} field holds {len(payload)} bytes, expected {wanted}")
    flags: int = _U32.unpack_from(payload, 0)[0]
    if flags & ~known:
        raise _fail(f"{name} flags 0x{flags:X} set unknown bits 0x{flags & ~known:X}")
    return flags


def _parse_kinds(payload: bytes, piece_count: int) -> Dict[int, PieceKind]:
    if len(payload) < _U32.size:
        raise _fail(f"piece kinds field holds {len(payload)} bytes, expected at least 4")
    (n,) = _U32.unpack_from(payload, 0)
    # Compared in integers before anything is built, so n cannot size a list.
    if len(payload) != _U32.size + n * _PAIR.size:
        raise _fail(f"piece kinds field holds {len(payload)} bytes, "
                    f"expected {_U32.size + n * _PAIR.size} for {n} entries")
    kinds: Dict[int, PieceKind] = {}
    previous = -1
    for i, (position, kind) in enumerate(_PAIR.iter_unpack(payload[_U32.size:])):
        if position <= previous:
            raise _fail(f"piece kind {i}: position {position} does not follow {previous}")
        if position >= piece_count:
            raise _fail(f"piece kind {i}: position {position} is not below the "
                        f"piece count {piece_count}")
        if kind not in PieceKind._value2member_map_:
            raise _fail(f"piece kind {i}: unknown kind {kind} at position {position}")
        kinds[position] = PieceKind(kind)
        previous = position
    return kinds


__all__ = [
    "OPTIONS_MAGIC",
    "OPTIONS_VERSION",
    "DEFAULT_UNKNOWN_SURFACE",
    "PieceKind",
    "VocabOptions",
    "charsmap_problem",
    "encode_options",
    "parse_options",
]
