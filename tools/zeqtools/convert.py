"""Converters from existing unigram models to zeq vocabularies.

Three sources are read:

- a SentencePiece ``.model`` file (a protocol buffer, read with
  :mod:`zeqtools.protowire`; only unigram models),
- a Hugging Face ``tokenizer.json`` whose ``model`` is ``Unigram``,
- a TSV of ``piece<TAB>score`` lines (for instance a SentencePiece ``.vocab``).

Every converter returns a :class:`Conversion`: the vocabulary (record i carries
id i, in the source's order) and a list of notes about inputs on which zeq will
behave differently from the source. A source that zeq cannot represent at all
is refused with a :class:`~zeqtools.errors.ConversionError` whose message is one
line. With ``strict=True`` every note is a refusal too.

A model (``.model`` or ``tokenizer.json``) is converted with an options section
(:mod:`zeqtools.options`) that holds its normaliser settings, byte fallback,
unknown-run merging, the kinds of its control, user-defined, unused and byte
pieces and the text decoded for its unknown id; the notes then name what still
differs from the source when the section is applied. ``zeq.Tokenizer`` ignores
the section. ``raw=True`` writes no section, and the notes name everything in
which ``zeq.Tokenizer`` differs: no normaliser (no NFKC, no folding of runs of
spaces, no stripping), no second marker in front of a text that begins with a
space, control and other special pieces matched like ordinary ones, byte pieces
used whenever they exist. A TSV holds no such settings and gets no section.

A special id that the source does not define is written as :data:`MISSING_ID`
(0xFFFFFFFF), an id that names no record of any vocabulary.

Whatever the source, zeq sums scores word by word in float32, and splits text
into words at every marker.
"""

from __future__ import annotations

import json
import math
import os
import struct
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

from . import protowire as pw
from .errors import ConversionError
from .hf_pipeline import metaspace_scheme, read_pipeline
from .options import PieceKind, VocabOptions, charsmap_problem
from .vocabfile import MAGIC, SPACE_MARKER, Piece, VocabFile, byte_piece_text

MISSING_ID = 0xFFFFFFFF
"""The id written for a special id (pad, unk, bos, eos) that the source lacks."""

FORMATS = ("sentencepiece", "hf", "tsv")

_F32 = struct.Struct("<f")
_U32 = struct.Struct("<I")


@dataclass
class Conversion:
    """The result of a conversion."""

    vocab: VocabFile
    source_format: str  # one of FORMATS
    notes: List[str] = field(default_factory=list)

    def write(self, path: Union[str, os.PathLike]) -> None:
        self.vocab.write(path)


class _Notes:
    def __init__(self, strict: bool):
        self.strict = strict
        self.items: List[str] = []

    def add(self, text: str) -> None:
        if self.strict:
            raise ConversionError(text + " (refused in strict mode)")
        self.items.append(text)


def _f32_bits(value: float, what: str) -> int:
    """The float32 bit pattern nearest to a double; refuse what float32 cannot hold."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ConversionError(f"{what}: score {value!r} is not a number")
    try:
        bits = _U32.unpack(_F32.pack(value))[0]
    except OverflowError:
        raise ConversionError(f"{what}: score {value!r} does not fit a 32-bit float") from None
    return bits


def _bits_to_f32(bits: int) -> float:
    return _F32.unpack(_U32.pack(bits))[0]


def _show(text: str, limit: int = 40) -> str:
    r = repr(text)
    return r if len(r) <= limit else r[:limit - 4] + "...'"


def _check_pieces(texts: Sequence[str]) -> None:
    """Refuse duplicate texts: the source cannot have meant two ids for one text."""
    seen: Dict[str, int] = {}
    for i, t in enumerate(texts):
        j = seen.setdefault(t, i)
        if j != i:
            raise ConversionError(f"piece {_show(t)} appears twice (ids {j} and {i})")


def _check_byte_pieces(texts: Sequence[str], notes: _Notes, fallback_wanted: Optional[bool],
                       raw: bool = True) -> None:
    """Note byte pieces that do not fit the source's byte fallback. With an
    options section, present byte pieces are only used when the source uses
    them, so only missing ones are noted."""
    have = {t for t in texts}
    n = sum(1 for b in range(256) if byte_piece_text(b) in have)
    if fallback_wanted is True and n < 256:
        notes.add(f"the source asks for byte fallback but only {n} of the 256 byte pieces "
                  "are present: characters whose bytes lack one become unk_id")
    if raw and fallback_wanted is False and n > 0:
        notes.add(f"the source has byte fallback off but holds {n} byte pieces: zeq uses "
                  "them for characters that no piece covers, where the source gives unk")


def _finish(texts: List[str], bits: List[int], specials: Dict[str, int],
            notes: _Notes, fmt: str, options: Optional[VocabOptions] = None) -> Conversion:
    pieces = [Piece(t, i, _bits_to_f32(b), b) for i, (t, b) in enumerate(zip(texts, bits))]
    inner = [t for t in texts if SPACE_MARKER in t[1:]]
    if inner:
        notes.add(f"{len(inner)} pieces hold the marker U+2581 after their first character "
                  f"(e.g. {_show(inner[0])}); zeq splits text into words at every marker, "
                  "so it never uses them")
    vocab = VocabFile(pieces, pad_id=specials["pad"], unk_id=specials["unk"],
                      bos_id=specials["bos"], eos_id=specials["eos"], options=options)
    return Conversion(vocab, fmt, notes.items)


# ---------------------------------------------------------------------------
# SentencePiece .model

_SP_TYPES = {1: "NORMAL", 2: "UNKNOWN", 3: "CONTROL", 4: "USER_DEFINED", 5: "UNUSED", 6: "BYTE"}
_SP_MODEL_TYPES = {1: "UNIGRAM", 2: "BPE", 3: "WORD", 4: "CHAR"}
# The piece types that the options section lists, by their kind there.
_SP_KINDS = {3: PieceKind.CONTROL, 4: PieceKind.USER_DEFINED, 5: PieceKind.UNUSED,
             6: PieceKind.BYTE}

# Field numbers of the model file: its pieces and its settings
_MP_PIECES, _MP_TRAINER, _MP_NORMALIZER, _MP_DENORMALIZER = 1, 2, 3, 5
# Field numbers of one piece
_SP_PIECE, _SP_SCORE, _SP_TYPE = 1, 2, 3
# The trainer settings: field number -> (name, kind, default when absent)
_TRAINER_FIELDS = {
    3: ("model_type", "enum", 1),
    22: ("split_by_whitespace", "bool", True),
    24: ("treat_whitespace_as_suffix", "bool", False),
    35: ("byte_fallback", "bool", False),
    40: ("unk_id", "int32", 0),
    41: ("bos_id", "int32", 1),
    42: ("eos_id", "int32", 2),
    43: ("pad_id", "int32", -1),
    44: ("unk_surface", "string", None),
}
# The normaliser settings (and the denormaliser's, which have the same fields)
_NORMALIZER_FIELDS = {
    1: ("name", "string", ""),
    2: ("precompiled_charsmap", "bytes", b""),
    3: ("add_dummy_prefix", "bool", True),
    4: ("remove_extra_whitespaces", "bool", True),
    5: ("escape_whitespaces", "bool", True),
    6: ("normalization_rule_tsv", "string", ""),
}


def _read_settings(data: bytes, fields: Dict[int, Tuple[str, str, Any]], what: str) -> Dict[str, Any]:
    out = {name: default for name, _, default in fields.values()}
    for number, wire, value in pw.iter_fields(data):
        entry = fields.get(number)
        if entry is None:
            continue
        name, kind, _ = entry
        if kind in ("bool", "int32", "enum"):
            pw.expect(wire, pw.VARINT, f"{what}' {name}")
            assert isinstance(value, int)
            out[name] = (pw.as_bool(value) if kind == "bool"
                         else pw.as_int32(value))
        else:
            pw.expect(wire, pw.LENGTH_DELIMITED, f"{what}' {name}")
            assert isinstance(value, bytes)
            out[name] = pw.as_text(value, f"{what}' {name}") if kind == "string" else value
    return out


def _read_sp_piece(data: bytes, index: int) -> Tuple[str, int, int]:
    text: Optional[str] = None
    bits = 0
    kind = 1
    for number, wire, value in pw.iter_fields(data):
        if number == _SP_PIECE:
            pw.expect(wire, pw.LENGTH_DELIMITED, f"piece {index}")
            assert isinstance(value, bytes)
            text = pw.as_text(value, f"piece {index}")
        elif number == _SP_SCORE:
            pw.expect(wire, pw.FIXED32, f"score of piece {index}")
            assert isinstance(value, bytes)
            bits = pw.as_float32_bits(value)
        elif number == _SP_TYPE:
            pw.expect(wire, pw.VARINT, f"type of piece {index}")
            assert isinstance(value, int)
            kind = pw.as_int32(value)
    if text is None:
        raise ConversionError(f"piece {index} has no text")
    if kind not in _SP_TYPES:
        raise ConversionError(f"piece {index} ({_show(text)}) has unknown type {kind}")
    return text, bits, kind


def from_sentencepiece(data: bytes, *, strict: bool = False, raw: bool = False) -> Conversion:
    """Convert the bytes of a SentencePiece ``.model`` file (unigram models only);
    with an options section unless ``raw``."""
    if data[:4] == MAGIC:
        raise ConversionError("this is already a zeq vocabulary file")
    notes = _Notes(strict)
    raw_pieces: List[bytes] = []
    trainer = b""
    normalizer: Optional[bytes] = None
    denormalizer: Optional[bytes] = None
    try:
        for number, wire, value in pw.iter_fields(data):
            if number == _MP_PIECES:
                pw.expect(wire, pw.LENGTH_DELIMITED, "the model's pieces")
                raw_pieces.append(value)  # type: ignore[arg-type]
            elif number == _MP_TRAINER:
                pw.expect(wire, pw.LENGTH_DELIMITED, "the model's trainer settings")
                trainer = value  # type: ignore[assignment]
            elif number == _MP_NORMALIZER:
                pw.expect(wire, pw.LENGTH_DELIMITED, "the model's normaliser settings")
                normalizer = value  # type: ignore[assignment]
            elif number == _MP_DENORMALIZER:
                pw.expect(wire, pw.LENGTH_DELIMITED, "the model's denormaliser settings")
                denormalizer = value  # type: ignore[assignment]
    except pw.ProtoError as e:
        raise ConversionError(f"not a SentencePiece model: {e}") from None
    if not raw_pieces:
        raise ConversionError("not a SentencePiece model: it holds no pieces")

    ts = _read_settings(trainer, _TRAINER_FIELDS, "the trainer settings")
    ns = _read_settings(normalizer or b"", _NORMALIZER_FIELDS, "the normaliser settings")
    model_type = ts["model_type"]
    if model_type != 1:
        name = _SP_MODEL_TYPES.get(model_type, str(model_type))
        raise ConversionError(f"model type {name} is not unigram: zeq represents unigram models only")
    if not ns["escape_whitespaces"]:
        raise ConversionError("the model keeps spaces as spaces (escape_whitespaces: false); "
                              "zeq always writes them as U+2581")
    if raw and not ns["add_dummy_prefix"]:
        raise ConversionError("the model adds no marker in front of the text "
                              "(add_dummy_prefix: false); zeq always does")
    if ts["treat_whitespace_as_suffix"]:
        raise ConversionError("the model puts the marker at the end of words "
                              "(treat_whitespace_as_suffix: true); zeq puts it in front")

    texts: List[str] = []
    bits: List[int] = []
    kinds: List[int] = []
    for i, piece_bytes in enumerate(raw_pieces):
        try:
            t, b, k = _read_sp_piece(piece_bytes, i)
        except pw.ProtoError as e:
            raise ConversionError(f"not a SentencePiece model: {e}") from None
        texts.append(t)
        bits.append(b)
        kinds.append(k)
    _check_pieces(texts)
    n = len(texts)

    specials: Dict[str, int] = {}
    for name in ("unk", "bos", "eos", "pad"):
        sid = ts[name + "_id"]
        if sid == -1:
            specials[name] = MISSING_ID
            continue
        if not 0 <= sid < n:
            raise ConversionError(f"the trainer settings' {name}_id is {sid}, "
                                  f"outside the {n} pieces")
        wanted = 2 if name == "unk" else 3
        if kinds[sid] != wanted:
            raise ConversionError(f"the trainer settings' {name}_id is {sid} but piece {sid} "
                                  f"({_show(texts[sid])}) is of type {_SP_TYPES[kinds[sid]]}, "
                                  f"not {_SP_TYPES[wanted]}")
        specials[name] = sid
    unknown = [i for i, k in enumerate(kinds) if k == 2]
    if unknown != ([specials["unk"]] if specials["unk"] != MISSING_ID else []):
        raise ConversionError(f"the model's UNKNOWN pieces {unknown} do not match "
                              f"the trainer settings' unk_id {ts['unk_id']}")
    for i, k in enumerate(kinds):
        if k == 6 and not _is_byte_piece(texts[i]):
            raise ConversionError(f"piece {i} is of type BYTE but its text {_show(texts[i])} "
                                  "is not of the form <0xHH>")

    options = None
    if raw:
        _sp_raw_notes(ns, ts, texts, kinds, specials, notes)
    else:
        options = _sp_options(ns, ts, texts, kinds, specials, notes)
    if denormalizer:
        dn = _read_settings(denormalizer, _NORMALIZER_FIELDS, "the denormaliser settings")
        if dn["precompiled_charsmap"] or dn["normalization_rule_tsv"]:
            notes.add("the model's denormaliser is not applied when decoding")
    return _finish(texts, bits, specials, notes, "sentencepiece", options)


def _sp_raw_notes(ns: Dict[str, Any], ts: Dict[str, Any], texts: List[str], kinds: List[int],
                  specials: Dict[str, int], notes: _Notes) -> None:
    """What zeq.Tokenizer, which reads no options section, does differently."""
    special_set = set(specials.values())
    for kind, why in ((3, "CONTROL pieces, which SentencePiece never matches in text"),
                      (5, "UNUSED pieces, which SentencePiece never matches in text"),
                      (4, "USER_DEFINED pieces, which SentencePiece always keeps whole")):
        extra = [texts[i] for i, k in enumerate(kinds) if k == kind and i not in special_set]
        if extra:
            notes.add(f"{len(extra)} {why} (e.g. {_show(extra[0])}), become ordinary "
                      "scored pieces: zeq matches them in text like any other piece")
    _check_byte_pieces(texts, notes, ts["byte_fallback"])

    if ns["name"] not in ("identity", "") or ns["precompiled_charsmap"] or ns["normalization_rule_tsv"]:
        notes.add(f"the model's normaliser ({ns['name'] or 'custom rules'}) is not applied: "
                  "text that it changes (e.g. NFKC forms, full-width characters) may encode differently")
    if ns["remove_extra_whitespaces"]:
        notes.add("the model removes leading, trailing and repeated spaces "
                  "(remove_extra_whitespaces: true); zeq keeps every space, so such "
                  "text encodes differently")


def _sp_options(ns: Dict[str, Any], ts: Dict[str, Any], texts: List[str], kinds: List[int],
                specials: Dict[str, int], notes: _Notes) -> VocabOptions:
    """The options section that reproduces the model's own settings."""
    charsmap = ns["precompiled_charsmap"]
    problem = charsmap_problem(charsmap)
    if problem:
        raise ConversionError(f"the normaliser settings' {problem}")
    if ns["normalization_rule_tsv"] and not charsmap:
        notes.add("the normaliser settings hold rules (normalization_rule_tsv) but no "
                  "character map compiled from them: the rules are not applied")
    _check_byte_pieces(texts, notes, ts["byte_fallback"], raw=False)
    # The special ids never match text and decode to nothing already.
    special_set = set(specials.values())
    return VocabOptions(
        add_dummy_prefix=ns["add_dummy_prefix"],
        remove_extra_whitespaces=ns["remove_extra_whitespaces"],
        escape_whitespaces=ns["escape_whitespaces"],
        charsmap=charsmap,
        byte_fallback=ts["byte_fallback"],
        # SentencePiece merges a run of unknown characters into one unk_id,
        # but gives every character its own byte pieces.
        merge_unknown_runs=not ts["byte_fallback"],
        kinds={i: _SP_KINDS[k] for i, k in enumerate(kinds)
               if k in _SP_KINDS and i not in special_set},
        unk_surface=ts["unk_surface"],
    )


def _is_byte_piece(text: str) -> bool:
    return (len(text) == 6 and text.startswith("<0x") and text.endswith(">")
            and all(c in "0123456789ABCDEF" for c in text[3:5]))


# ---------------------------------------------------------------------------
# Hugging Face tokenizer.json

# The checks below are those of a conversion without an options section
# (raw); with one, hf_pipeline reads the normaliser and the pre-tokenizer.
_FOLDING_PRE_TOKENIZERS = {"WhitespaceSplit"}


def _metaspace_ok(pt: Dict[str, Any]) -> None:
    if metaspace_scheme(pt) == "never":
        raise ConversionError("pre_tokenizer Metaspace adds no marker in front of the text "
                              "(prepend_scheme: never); zeq always does")


def _check_pre_tokenizer(pt: Any, notes: _Notes) -> None:
    if pt is None:
        raise ConversionError("the tokenizer has no pre_tokenizer: zeq can represent only "
                              "Metaspace word splitting with U+2581")
    kind = pt.get("type")
    if kind == "Metaspace":
        _metaspace_ok(pt)
        return
    if kind == "Sequence":
        parts = pt.get("pretokenizers") or []
        metas = [p for p in parts if p.get("type") == "Metaspace"]
        others = [p.get("type") for p in parts if p.get("type") != "Metaspace"]
        if len(metas) != 1 or any(o not in _FOLDING_PRE_TOKENIZERS for o in others):
            raise ConversionError("pre_tokenizer Sequence of "
                                  f"{[p.get('type') for p in parts]}: zeq can represent "
                                  "only Metaspace (optionally after WhitespaceSplit)")
        _metaspace_ok(metas[0])
        if others:
            notes.add("the pre_tokenizer WhitespaceSplit drops all white space "
                      "(spaces, tabs, line breaks) and folds runs of it; zeq keeps them")
        return
    raise ConversionError(f"pre_tokenizer {kind}: zeq can represent only Metaspace "
                          "word splitting with U+2581")


def _normalizer_steps(nz: Any) -> List[str]:
    if nz is None:
        return []
    if nz.get("type") == "Sequence":
        out: List[str] = []
        for n in nz.get("normalizers") or []:
            out.extend(_normalizer_steps(n))
        return out
    return [str(nz.get("type"))]


def from_hf_tokenizer_json(data: Union[bytes, str], *, strict: bool = False, raw: bool = False,
                           bos_piece: str = "<s>", eos_piece: str = "</s>",
                           pad_piece: str = "<pad>") -> Conversion:
    """Convert a Hugging Face ``tokenizer.json`` whose model is ``Unigram``;
    with an options section unless ``raw``.

    ``unk_id`` comes from the model; ``pad_id`` from the padding settings when
    present, otherwise from the piece ``pad_piece``; ``bos_id`` and ``eos_id``
    from the pieces ``bos_piece`` and ``eos_piece``. One that is not found is
    :data:`MISSING_ID`.
    """
    try:
        doc = json.loads(data)
    except (ValueError, UnicodeDecodeError, RecursionError) as e:
        raise ConversionError(f"not a tokenizer.json: {e}") from None
    if not isinstance(doc, dict) or not isinstance(doc.get("model"), dict):
        raise ConversionError("not a tokenizer.json: no 'model' object")
    model = doc["model"]
    kind = model.get("type")
    if kind != "Unigram":
        raise ConversionError(f"model type {kind!r} is not Unigram: zeq represents unigram models only")
    vocab = model.get("vocab")
    if not isinstance(vocab, list) or not vocab:
        raise ConversionError("the Unigram model has no vocab list")
    notes = _Notes(strict)
    if raw:
        _check_pre_tokenizer(doc.get("pre_tokenizer"), notes)
    else:
        pipeline = read_pipeline(doc, notes.add)

    texts: List[str] = []
    bits: List[int] = []
    for i, entry in enumerate(vocab):
        if (not isinstance(entry, (list, tuple)) or len(entry) != 2
                or not isinstance(entry[0], str)):
            raise ConversionError(f"vocab entry {i} is not a [piece, score] pair")
        texts.append(entry[0])
        bits.append(_f32_bits(entry[1], f"vocab entry {i} ({_show(entry[0])})"))
    _check_pieces(texts)
    n = len(texts)
    index = {t: i for i, t in enumerate(texts)}

    unk = model.get("unk_id")
    if unk is None:
        unk_id = MISSING_ID
    elif isinstance(unk, int) and not isinstance(unk, bool) and 0 <= unk < n:
        unk_id = unk
    else:
        raise ConversionError(f"model.unk_id {unk!r} is not an id of the {n} pieces")
    padding = doc.get("padding")
    pad_id = index.get(pad_piece, MISSING_ID)
    if isinstance(padding, dict) and isinstance(padding.get("pad_id"), int):
        pad_id = padding["pad_id"]
        if not 0 <= pad_id < n:
            raise ConversionError(f"padding.pad_id {pad_id} is not an id of the {n} pieces")
    specials = {"unk": unk_id, "pad": pad_id,
                "bos": index.get(bos_piece, MISSING_ID), "eos": index.get(eos_piece, MISSING_ID)}

    listed = doc.get("added_tokens")
    added = [t for t in listed if isinstance(t, dict)] if isinstance(listed, list) else []
    inside = [t for t in added if _is_index(t.get("id"), n)]
    extra = [t.get("content") for t in added if not _is_index(t.get("id"), n)]
    if extra:
        notes.add(f"{len(extra)} added tokens outside the Unigram vocabulary "
                  f"(e.g. {_show(str(extra[0]))}) are left out")
    byte_fallback = bool(model.get("byte_fallback", False))
    _check_byte_pieces(texts, notes, byte_fallback, raw=raw)
    if raw:
        steps = _normalizer_steps(doc.get("normalizer"))
        if steps:
            notes.add(f"the normaliser ({', '.join(steps)}) is not applied: text that it "
                      "changes may encode differently")
        return _finish(texts, bits, specials, notes, "hf")

    if inside:
        notes.add(f"tokenizers matches its {len(inside)} added tokens (e.g. "
                  f"{_show(texts[inside[0]['id']])}) in the text before anything else and "
                  "encodes the text between them on its own; zeq never matches the special "
                  "ones and matches the others as pieces kept whole")
    special_set = set(specials.values())
    kinds = {t["id"]: PieceKind.CONTROL if t.get("special") else PieceKind.USER_DEFINED
             for t in inside if t["id"] not in special_set}
    special_added = {t["id"] for t in inside if t.get("special")}
    # tokenizers' decode skips special tokens; an unknown piece that is not one
    # decodes as its own text.
    unk_surface = (None if unk_id == MISSING_ID
                   else "" if unk_id in special_added else texts[unk_id])
    options = VocabOptions(
        add_dummy_prefix=pipeline.add_dummy_prefix,
        remove_extra_whitespaces=pipeline.remove_extra_whitespaces,
        escape_whitespaces=True,
        charsmap=pipeline.charsmap,
        byte_fallback=byte_fallback,
        merge_unknown_runs=not byte_fallback,
        kinds=dict(sorted(kinds.items())),
        unk_surface=unk_surface,
    )
    return _finish(texts, bits, specials, notes, "hf", options)


def _is_index(value: Any, n: int) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and 0 <= value < n


# ---------------------------------------------------------------------------
# TSV

def from_tsv(data: Union[bytes, str], *, strict: bool = False,
             unk_piece: str = "<unk>", bos_piece: str = "<s>", eos_piece: str = "</s>",
             pad_piece: str = "<pad>") -> Conversion:
    """Convert ``piece<TAB>score`` lines; the line number (from 0) is the id.

    The special ids are those of the pieces named by ``unk_piece`` etc.; one
    that is absent is :data:`MISSING_ID`. The piece is everything before the
    last tab, so a piece may itself hold a tab.
    """
    if isinstance(data, bytes):
        if data[:4] == MAGIC:
            raise ConversionError("this is already a zeq vocabulary file")
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as e:
            line = data[:e.start].count(b"\n") + 1
            raise ConversionError(f"line {line}: not UTF-8") from None
    else:
        text = data
    if text.startswith("\ufeff"):
        text = text[1:]
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    if not lines:
        raise ConversionError("the TSV holds no pieces")
    notes = _Notes(strict)
    texts: List[str] = []
    bits: List[int] = []
    for number, raw in enumerate(lines, 1):
        piece, tab, score = (raw[:-1] if raw.endswith("\r") else raw).rpartition("\t")
        if not tab:
            raise ConversionError(f"line {number}: expected piece<TAB>score, found no tab")
        try:
            value = float(score)
        except ValueError:
            raise ConversionError(f"line {number}: score {score!r} is not a number") from None
        if math.isnan(value):
            raise ConversionError(f"line {number}: score is NaN")
        b = _f32_bits(value, f"line {number}")
        if math.isfinite(value) and not math.isfinite(_bits_to_f32(b)):
            raise ConversionError(f"line {number}: score {score} does not fit a 32-bit float")
        texts.append(piece)
        bits.append(b)
    _check_pieces(texts)
    index = {t: i for i, t in enumerate(texts)}
    specials = {"unk": index.get(unk_piece, MISSING_ID), "bos": index.get(bos_piece, MISSING_ID),
                "eos": index.get(eos_piece, MISSING_ID), "pad": index.get(pad_piece, MISSING_ID)}
    if specials["unk"] == MISSING_ID:
        notes.add(f"no piece {unk_piece!r}: characters that no piece covers get id "
                  f"{MISSING_ID} (no record)")
    _check_byte_pieces(texts, notes, None)
    return _finish(texts, bits, specials, notes, "tsv")


# ---------------------------------------------------------------------------
# files

def detect_format(path: Union[str, os.PathLike], head: bytes) -> str:
    """Guess the source format from the file name and its first bytes."""
    name = os.fspath(path).lower()
    if head[:4] == MAGIC:
        return "zeq"
    if name.endswith(".json") or head.lstrip()[:1] == b"{":
        return "hf"
    if name.endswith((".tsv", ".vocab", ".txt")):
        return "tsv"
    if name.endswith(".model"):
        return "sentencepiece"
    # A model begins with field 1 (a piece), length-delimited: key byte 0x0A.
    if head[:1] == b"\x0a":
        return "sentencepiece"
    first_line = head.split(b"\n", 1)[0]
    if b"\t" in first_line:
        return "tsv"
    raise ConversionError(f"cannot tell the format of {os.fspath(path)}; name it with --from")


def convert_file(path: Union[str, os.PathLike], fmt: str = "auto", *, strict: bool = False,
                 raw: bool = False, **specials: str) -> Conversion:
    """Read ``path`` and convert it. ``fmt`` is ``"auto"`` or one of :data:`FORMATS`;
    ``raw`` writes no options section (a TSV never gets one); ``specials``
    (``unk_piece``, ``bos_piece``, ``eos_piece``, ``pad_piece``) name special
    pieces by text for the formats that do not record them."""
    with open(path, "rb") as f:
        data = f.read()
    if fmt == "auto":
        fmt = detect_format(path, data[:64])
        if fmt == "zeq":
            raise ConversionError(f"{os.fspath(path)} is already a zeq vocabulary file")
    if fmt == "sentencepiece":
        if specials:
            raise ConversionError("a SentencePiece model names its special ids itself")
        return from_sentencepiece(data, strict=strict, raw=raw)
    if fmt == "hf":
        if "unk_piece" in specials:
            raise ConversionError("a tokenizer.json names its unknown id itself (model.unk_id)")
        return from_hf_tokenizer_json(data, strict=strict, raw=raw, **specials)
    if fmt == "tsv":
        return from_tsv(data, strict=strict, **specials)
    raise ConversionError(f"unknown source format {fmt!r}; one of {', '.join(FORMATS)}")


__all__ = [
    "MISSING_ID",
    "FORMATS",
    "Conversion",
    "from_sentencepiece",
    "from_hf_tokenizer_json",
    "from_tsv",
    "detect_format",
    "convert_file",
]
