"""Telling, from its first bytes, whether a file is a model that
``zeq convert`` takes, for the hint given when such a file is used as a
vocabulary.

Stricter than :func:`zeqtools.convert.detect_format`, which serves a user
who asked for a conversion and may guess from the file name: here a format
is named only when the content looks like it, so that a text file is not
called a TSV model for its name or a tab in its first line.
"""

from __future__ import annotations

import re
from typing import Optional

from . import protowire as pw
from .errors import ZeqToolsError

FORMAT_NAMES = {"sentencepiece": "a SentencePiece model",
                "hf": "a Hugging Face tokenizer.json",
                "tsv": "a piece<TAB>score TSV"}

HEAD_BYTES = 64 << 10
_TSV_LINES = 5
_HF_MODEL_KEY = re.compile(rb'"model"\s*:\s*\{')


def model_format(path: str) -> Optional[str]:
    """A key of :data:`FORMAT_NAMES` when the first :data:`HEAD_BYTES` of
    the file look like that format, else None (also when it cannot be read)."""
    try:
        with open(path, "rb") as f:
            head = f.read(HEAD_BYTES)
    except OSError:
        return None
    if looks_like_sentencepiece(head):
        return "sentencepiece"
    if head.lstrip()[:1] == b"{" and (b'"added_tokens"' in head or _HF_MODEL_KEY.search(head)):
        return "hf"
    if looks_like_tsv(head):
        return "tsv"
    return None


def looks_like_sentencepiece(head: bytes) -> bool:
    """A model begins with its first piece (field 1): a message of a UTF-8
    text (field 1) and maybe a float score (field 2) and a type (field 3)."""
    try:
        key, pos = pw.read_varint(head, 0)
        length, pos = pw.read_varint(head, pos)
        piece = head[pos:pos + length]
        if key != 0x0A or length == 0 or len(piece) < length:
            return False
        fields = {number: (wire, value) for number, wire, value in pw.iter_fields(piece)}
        wire, text = fields.get(1, (None, b""))
        pw.as_text(text, "the piece")  # type: ignore[arg-type]
    except ZeqToolsError:
        return False
    expected = {1: pw.LENGTH_DELIMITED, 2: pw.FIXED32, 3: pw.VARINT}
    return wire == pw.LENGTH_DELIMITED and all(expected.get(n) == w for n, (w, _) in fields.items())


def looks_like_tsv(head: bytes) -> bool:
    """The first lines (up to five) are all piece<TAB>number."""
    lines = head.split(b"\n")
    if len(head) == HEAD_BYTES or lines[-1] == b"":
        lines.pop()  # cut off, or the empty rest after the last line break
    lines = lines[:_TSV_LINES]
    if not lines:
        return False
    for line in lines:
        _, tab, score = line.rstrip(b"\r").rpartition(b"\t")
        if not tab:
            return False
        try:
            float(score)
        except ValueError:
            return False
    return True


__all__ = ["FORMAT_NAMES", "HEAD_BYTES", "model_format", "looks_like_sentencepiece",
           "looks_like_tsv"]
