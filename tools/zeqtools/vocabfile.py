"""Reading, writing and inspecting zeq's binary vocabulary format
(``*.vocab.bin``).

Layout, every number little-endian::

    header   magic b"ZEQZ", u32 version (1), u32 piece_count,
             u32 pad_id, u32 unk_id, u32 bos_id, u32 eos_id
    records  piece_count times: u32 id, f32 score, u32 len, len bytes of UTF-8
    options  optional: the options section (:mod:`zeqtools.options`)

``zeq.Tokenizer`` ignores every byte after the last record. :func:`parse_vocab`
reads bytes there that begin with the section magic ``b"ZEQO"`` as the options
section, which must then be well-formed; any other bytes there are not a
section and are only counted (``VocabFile.trailing_bytes``), so that a file
with junk after its records can still be inspected.

How the loader uses the content: records whose stored id equals one of the
four special ids never match text; every other record is a candidate piece,
scored by its float32 score. The texts ``<0x00>`` .. ``<0xFF>`` (upper-case
hex) are the byte pieces used for characters that no piece covers. Decoding
and ``id_to_piece`` take an id as a record position, encoding emits the stored
ids, so a well-formed vocabulary has record i carry id i. Duplicate texts are
allowed (the last record wins for look-ups and matching).
"""

from __future__ import annotations

import hashlib
import math
import os
import struct
from collections import Counter
from dataclasses import dataclass, field
from typing import Dict, Iterable, List, Optional, Tuple, Union

from .errors import VocabFormatError
from .options import (
    DEFAULT_UNKNOWN_SURFACE,
    OPTIONS_MAGIC,
    PieceKind,
    VocabOptions,
    encode_options,
    parse_options,
)

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
    trailing_bytes: int = 0  # bytes after the last record that are not a section (read only)
    options: Optional[VocabOptions] = None  # the options section; None: the file has none

    def write(self, path: Union[str, os.PathLike]) -> None:
        """Write this vocabulary to ``path``."""
        with open(path, "wb") as f:
            f.write(self.to_bytes())

    def to_bytes(self) -> bytes:
        return encode_vocab(self.pieces, pad_id=self.pad_id, unk_id=self.unk_id,
                            bos_id=self.bos_id, eos_id=self.eos_id,
                            version=self.version, piece_count=self.piece_count,
                            options=self.options)


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
    options: Optional[VocabOptions] = None,
) -> bytes:
    """Return the bytes of a vocabulary file holding ``pieces`` in order,
    followed by the options section when ``options`` is given.

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
    if options is not None:
        out.append(encode_options(options))
    return b"".join(out)


def write_vocab(path: Union[str, os.PathLike], pieces: Iterable[PieceLike], **header) -> None:
    """Write a vocabulary file; keywords as for :func:`encode_vocab`."""
    data = encode_vocab(pieces, **header)
    with open(path, "wb") as f:
        f.write(data)


def parse_vocab(data: bytes) -> VocabFile:
    """Parse vocabulary file bytes.

    Raises :class:`VocabFormatError` (a ``ValueError``) on a broken file.
    Checks what the loader checks, in the same order: magic, version, length,
    and UTF-8 of every text; then the options section, when the bytes after
    the last record begin with its magic (see the module docstring).
    """
    if len(data) < 4:
        raise VocabFormatError("file ends inside the magic")
    if data[:4] != MAGIC:
        raise VocabFormatError(f"bad magic {list(data[:4])}: not a zeq vocabulary file")
    if len(data) < 8:
        raise VocabFormatError("file ends inside the header")
    (version,) = struct.unpack_from("<I", data, 4)
    if version != VERSION:
        raise VocabFormatError(f"version mismatch: expected {VERSION}, got {version}")
    if len(data) < _HEADER.size:
        raise VocabFormatError("file ends inside the header")
    _, _, count, pad, unk, bos, eos = _HEADER.unpack_from(data, 0)
    pos = _HEADER.size
    pieces: List[Piece] = []
    for i in range(count):
        if pos + _RECORD.size > len(data):
            raise VocabFormatError(f"file ends inside record {i} of {count}")
        id_, bits, n = _RECORD_BITS.unpack_from(data, pos)
        (score,) = struct.unpack_from("<f", data, pos + 4)
        pos += _RECORD.size
        if pos + n > len(data):
            raise VocabFormatError(f"file ends inside the text of record {i} of {count}")
        raw = data[pos:pos + n]
        pos += n
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as e:
            raise VocabFormatError(f"piece not utf-8 in record {i}: {e}") from None
        pieces.append(Piece(text, id_, score, bits))
    vf = VocabFile(pieces, pad, unk, bos, eos, version, count)
    if data[pos:pos + len(OPTIONS_MAGIC)] == OPTIONS_MAGIC:
        vf.options = parse_options(data[pos:], count)
    else:
        vf.trailing_bytes = len(data) - pos
    return vf


def read_vocab(path: Union[str, os.PathLike]) -> VocabFile:
    """Read and parse a vocabulary file.

    Raises :class:`VocabFormatError` (a ``ValueError``) on a broken file and
    ``OSError`` when it cannot be read."""
    with open(path, "rb") as f:
        return parse_vocab(f.read())


def byte_piece_text(b: int) -> str:
    """The text of the byte piece of byte value ``b``: ``"<0x%02X>"``."""
    return "<0x%02X>" % b


# ---------------------------------------------------------------------------
# inspect

SPACE_MARKER = "\u2581"
FALLBACK_PENALTY = 10.0
SPECIAL_NAMES = ("pad", "unk", "bos", "eos")
_F32 = struct.Struct("<f")


def _f32(x: float) -> float:
    """Round a double to the nearest float32 (as the tokenizer computes)."""
    return _F32.unpack(_F32.pack(x))[0]


@dataclass
class SpecialInfo:
    name: str  # "pad", "unk", "bos" or "eos"
    id: int
    text: Optional[str]  # text of the record at position id, None when there is none
    has_record: bool  # some record stores this id (so that record never matches text)


CHARSMAP_DIGEST_DIGITS = 12
# The character maps of SentencePiece's built-in rule sets, by the first
# CHARSMAP_DIGEST_DIGITS hex digits of their SHA-256, to name them in reports.
KNOWN_CHARSMAPS = {
    "1e2c7b43d3ee": "nmt_nfkc",
    "7e46d9e08af4": "nfkc",
    "2c03512e62f9": "nmt_nfkc_cf",
    "d8dfef3d6db0": "nfkc_cf",
}


@dataclass
class OptionsInfo:
    """What :func:`inspect_vocab` reports about an options section."""

    normaliser: List[str]  # names of the normaliser flags that are set
    charsmap_bytes: int
    charsmap_digest: Optional[str]  # leading hex digits of its SHA-256; None when empty
    charsmap_name: Optional[str]  # the SentencePiece rule set it is, when recognised
    segmentation: List[str]  # names of the segmentation flags that are set
    kind_counts: Dict[str, int]  # kind label -> records of that kind
    kind_examples: Dict[str, List[str]]  # kind label -> the texts of the first few
    unk_surface: str
    unk_surface_is_default: bool


def inspect_options(options: VocabOptions, texts: List[str], examples: int = 5) -> OptionsInfo:
    """Summarise an options section; ``texts`` are the record texts."""
    digest = (hashlib.sha256(options.charsmap).hexdigest()[:CHARSMAP_DIGEST_DIGITS]
              if options.charsmap else None)
    counts: Dict[str, int] = {}
    shown: Dict[str, List[str]] = {}
    for position in sorted(options.kinds):
        label = PieceKind(options.kinds[position]).label
        counts[label] = counts.get(label, 0) + 1
        if len(shown.setdefault(label, [])) < examples:
            shown[label].append(texts[position] if position < len(texts) else f"#{position}")
    return OptionsInfo(
        normaliser=[name for name, on in (("add_dummy_prefix", options.add_dummy_prefix),
                                          ("remove_extra_whitespaces",
                                           options.remove_extra_whitespaces),
                                          ("escape_whitespaces", options.escape_whitespaces))
                    if on],
        charsmap_bytes=len(options.charsmap),
        charsmap_digest=digest,
        charsmap_name=KNOWN_CHARSMAPS.get(digest or ""),
        segmentation=[name for name, on in (("byte_fallback", options.byte_fallback),
                                            ("merge_unknown_runs", options.merge_unknown_runs))
                      if on],
        kind_counts=counts,
        kind_examples=shown,
        unk_surface=DEFAULT_UNKNOWN_SURFACE if options.unk_surface is None else options.unk_surface,
        unk_surface_is_default=options.unk_surface is None,
    )


@dataclass
class VocabInfo:
    """What :func:`inspect_vocab` finds out about a vocabulary."""

    version: int
    header_count: int
    records: int
    trailing_bytes: int
    ids_are_positions: bool  # record i stores id i, for every i
    first_id_mismatch: Optional[Tuple[int, int]]  # (position, stored id)
    specials: List[SpecialInfo]
    byte_pieces: int  # byte values 0..255 that have a byte piece
    missing_bytes: List[int]
    byte_piece_ids: Optional[Tuple[int, int]]  # least and greatest id of the byte pieces
    duplicate_texts: Dict[str, int]  # text -> number of records (only those > 1)
    duplicate_ids: Dict[int, int]  # stored id -> number of records (only those > 1)
    score_min: Optional[float]
    score_max: Optional[float]
    trie_pieces: int  # records that can match text (stored id not special, kind matchable)
    trie_score_min: Optional[float]  # least score of the ordinary ones: base of the fallback score
    fallback_score: float  # score of one byte-piece or unknown step
    non_finite_scores: int
    empty_texts: int
    inner_marker_pieces: int  # texts holding U+2581 after their first character
    longest_piece_bytes: int
    options: Optional["OptionsInfo"] = None  # None: the file has no options section

    def as_dict(self) -> dict:
        d = dict(self.__dict__)
        d["options"] = None if self.options is None else dict(self.options.__dict__)
        d["specials"] = {s.name: {"id": s.id, "text": s.text, "has_record": s.has_record}
                         for s in self.specials}
        d["duplicate_texts"] = dict(self.duplicate_texts)
        d["duplicate_ids"] = {str(k): v for k, v in self.duplicate_ids.items()}
        for k in ("score_min", "score_max", "trie_score_min", "fallback_score"):
            v = d[k]
            if v is not None and not math.isfinite(v):
                d[k] = repr(v)  # JSON has no NaN or infinity
        return d


def inspect_vocab(vf: VocabFile) -> VocabInfo:
    """Summarise a parsed vocabulary: header, counts, special ids and their
    texts, byte-piece coverage, duplicates and score range."""
    pieces = vf.pieces
    n = len(pieces)
    texts = [p.text if isinstance(p.text, str) else p.text.decode("utf-8", "replace")
             for p in pieces]
    ids_by_text: Dict[str, int] = {}
    for t, p in zip(texts, pieces):
        ids_by_text[t] = p.id  # last record wins, as in the loader
    stored_ids = {p.id for p in pieces}
    special_ids = {vf.pad_id, vf.unk_id, vf.bos_id, vf.eos_id}

    first_mismatch = next(((i, p.id) for i, p in enumerate(pieces) if p.id != i), None)
    specials = []
    for name in SPECIAL_NAMES:
        sid = getattr(vf, name + "_id")
        specials.append(SpecialInfo(name, sid, texts[sid] if sid < n else None,
                                    sid in stored_ids))

    byte_ids = {}
    for b in range(256):
        i = ids_by_text.get(byte_piece_text(b))
        if i is not None:
            byte_ids[b] = i
    missing = [b for b in range(256) if b not in byte_ids]

    scores = [p.score for p in pieces]
    finite = [s for s in scores if math.isfinite(s)]
    kinds = vf.options.kinds if vf.options is not None else {}
    unmatched = (PieceKind.CONTROL, PieceKind.UNUSED, PieceKind.BYTE)
    matchable = sum(1 for i, p in enumerate(pieces)
                    if p.id not in special_ids and kinds.get(i) not in unmatched)
    trie_scores = [p.score for i, p in enumerate(pieces)
                   if p.id not in special_ids and i not in kinds]
    # The loader's minimum: the ordinary comparison, which NaN never wins.
    m = max_f32 = 3.4028234663852886e38
    for s in trie_scores:
        if s < m:
            m = s
    trie_min = None if m == max_f32 else m

    text_counts = Counter(texts)
    id_counts = Counter(p.id for p in pieces)
    return VocabInfo(
        version=vf.version,
        header_count=vf.piece_count if vf.piece_count is not None else n,
        records=n,
        trailing_bytes=vf.trailing_bytes,
        ids_are_positions=first_mismatch is None,
        first_id_mismatch=first_mismatch,
        specials=specials,
        byte_pieces=len(byte_ids),
        missing_bytes=missing,
        byte_piece_ids=(min(byte_ids.values()), max(byte_ids.values())) if byte_ids else None,
        duplicate_texts={t: c for t, c in text_counts.items() if c > 1},
        duplicate_ids={i: c for i, c in id_counts.items() if c > 1},
        score_min=min(finite) if finite else None,
        score_max=max(finite) if finite else None,
        trie_pieces=matchable,
        trie_score_min=trie_min,
        fallback_score=_f32((trie_min if trie_min is not None else 0.0) - FALLBACK_PENALTY),
        non_finite_scores=len(scores) - len(finite),
        empty_texts=sum(1 for t in texts if not t),
        inner_marker_pieces=sum(1 for t in texts if SPACE_MARKER in t[1:]),
        longest_piece_bytes=max((len(p.text_bytes()) for p in pieces), default=0),
        options=None if vf.options is None else inspect_options(vf.options, texts),
    )


def _ranges(values: List[int]) -> str:
    """[1, 2, 3, 7] -> '0x01-0x03, 0x07'."""
    out = []
    i = 0
    while i < len(values):
        j = i
        while j + 1 < len(values) and values[j + 1] == values[j] + 1:
            j += 1
        out.append("0x%02X" % values[i] if i == j else "0x%02X-0x%02X" % (values[i], values[j]))
        i = j + 1
    return ", ".join(out)


def _examples(items: Iterable, limit: int = 5) -> str:
    items = list(items)
    shown = ", ".join(items[:limit])
    return shown + (f", ... ({len(items)} in all)" if len(items) > limit else "")


def format_info(info: VocabInfo) -> str:
    """A human-readable report of :func:`inspect_vocab`, one fact per line."""
    lines: List[str] = []
    add = lines.append
    count = f"{info.records:,} records"
    if info.header_count != info.records:
        count += f" (header says {info.header_count:,})"
    add(f"format        ZEQZ version {info.version}, {count}"
        + (f", {info.trailing_bytes:,} bytes after the last record" if info.trailing_bytes else ""))
    if info.ids_are_positions:
        add("ids           record i carries id i")
    else:
        pos, sid = info.first_id_mismatch  # type: ignore[misc]
        add(f"ids           NOT positions: record {pos} carries id {sid} "
            "(decode and id_to_piece use positions, encode the stored ids)")
    for s in info.specials:
        if s.text is not None:
            desc = repr(s.text)
        else:
            desc = "names no record"
        if s.text is not None and not s.has_record:
            desc += " (no record stores this id)"
        add(f"{s.name + '_id':<14}{s.id:<11} {desc}")
    fallback_off = info.options is not None and "byte_fallback" not in info.options.segmentation
    if info.byte_pieces and fallback_off:
        add(f"byte pieces   {info.byte_pieces} of 256, not used: byte fallback is off")
    elif info.byte_pieces == 256:
        lo, hi = info.byte_piece_ids  # type: ignore[misc]
        add(f"byte pieces   256 of 256 (ids {lo}..{hi}): every character can be encoded")
    elif info.byte_pieces == 0:
        add("byte pieces   none: characters without a piece become unk_id")
    else:
        add(f"byte pieces   {info.byte_pieces} of 256; missing {_ranges(info.missing_bytes)}")
    if info.score_min is not None:
        add(f"scores        {info.score_min:.6g} .. {info.score_max:.6g}"
            + (f", {info.non_finite_scores} not finite" if info.non_finite_scores else ""))
    else:
        add("scores        none finite" if info.records else "scores        no records")
    tmin = "none" if info.trie_score_min is None else f"{info.trie_score_min:.6g}"
    add(f"matchable     {info.trie_pieces:,} pieces, least score {tmin}, "
        f"fallback step {info.fallback_score:.6g}")
    if info.duplicate_texts:
        add("dup. texts    " + _examples(
            [f"{t!r} x{c}" for t, c in info.duplicate_texts.items()]))
    else:
        add("dup. texts    none")
    if info.duplicate_ids:
        add("dup. ids      " + _examples(
            [f"{i} x{c}" for i, c in info.duplicate_ids.items()]))
    else:
        add("dup. ids      none")
    add(f"longest piece {info.longest_piece_bytes} bytes"
        + (f"; {info.empty_texts} empty texts" if info.empty_texts else "")
        + (f"; {info.inner_marker_pieces} pieces hold U+2581 after their first "
           "character (never produced by encode)" if info.inner_marker_pieces else ""))
    lines.extend(_format_options(info.options))
    return "\n".join(lines)


def _format_options(o: Optional[OptionsInfo]) -> List[str]:
    if o is None:
        return ["options       none: encodes as zeq.Tokenizer does"]
    if o.charsmap_digest is None:
        charsmap = "no character map"
    else:
        charsmap = (f"character map {o.charsmap_bytes:,} bytes, sha256 {o.charsmap_digest}"
                    + (f" ({o.charsmap_name})" if o.charsmap_name else ""))
    kinds = "; ".join(
        f"{n:,} {label} ({', '.join(map(repr, o.kind_examples[label]))}"
        + (", ...)" if n > len(o.kind_examples[label]) else ")")
        for label, n in o.kind_counts.items())
    return [
        f"normaliser    {', '.join(o.normaliser) or 'no flags'}; {charsmap}",
        f"segmentation  {', '.join(o.segmentation) or 'no flags'}",
        f"piece kinds   {kinds or 'none: every record is ordinary'}",
        f"unk surface   {o.unk_surface!r}" + (" (the default)" if o.unk_surface_is_default else ""),
    ]


__all__ = [
    "VocabInfo",
    "OptionsInfo",
    "inspect_options",
    "SpecialInfo",
    "inspect_vocab",
    "format_info",
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
