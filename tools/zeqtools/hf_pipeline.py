"""What a Hugging Face ``tokenizer.json`` does to text before its Unigram
model sees it, read into the options section's normaliser settings.

The shapes recognised are those that transformers' SentencePiece converters
write for a unigram model:

- ``normalizer``: ``Precompiled`` (SentencePiece's character map, base64),
  then ``Strip`` (right only) and ``Replace`` of the regex ``" {2,}"`` by
  ``"▁"``, which together fold white space as SentencePiece's
  ``remove_extra_whitespaces`` does; each part optional;
- ``pre_tokenizer``: ``Metaspace`` with ``"▁"``, optionally after
  ``WhitespaceSplit`` (older files), which folds white space too.

A normaliser step outside these shapes (``Lowercase``, ``NFKC`` by name,
another ``Replace``, a left ``Strip``...) cannot be written to the section:
it is reported through ``note`` so that the caller can refuse it in strict
mode. A pre-tokenizer that the section cannot express at all is refused with
a :class:`ConversionError`.
"""

from __future__ import annotations

import base64
import binascii
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List

from .errors import ConversionError
from .options import charsmap_problem

MARKER = "\u2581"
_FOLD_PATTERN = {"Regex": " {2,}"}


@dataclass
class Pipeline:
    """The normaliser settings read from a tokenizer.json."""

    charsmap: bytes = b""
    strip_right: bool = False  # Strip + Replace(" {2,}" -> "▁"): remove_extra_whitespaces
    whitespace_split: bool = False  # WhitespaceSplit before Metaspace: folds white space too
    add_dummy_prefix: bool = True  # Metaspace prepend_scheme always or first
    unreproduced: List[str] = field(default_factory=list)  # normaliser steps left out

    @property
    def remove_extra_whitespaces(self) -> bool:
        return self.strip_right or self.whitespace_split


def _steps(nz: Any) -> List[Any]:
    """The normaliser steps in order, nested sequences flattened."""
    if nz is None:
        return []
    if isinstance(nz, dict) and nz.get("type") == "Sequence":
        out: List[Any] = []
        for step in nz.get("normalizers") or []:
            out.extend(_steps(step))
        return out
    return [nz]


def _kind(step: Any) -> str:
    return str(step.get("type")) if isinstance(step, dict) else repr(step)


def _describe(step: Any) -> str:
    kind = _kind(step)
    if kind == "Replace":
        pattern = step.get("pattern") or {}
        if isinstance(pattern, dict):
            pattern = pattern.get("Regex", pattern.get("String"))
        return f"Replace({pattern!r} -> {step.get('content')!r})"
    if kind == "Strip":
        return f"Strip(left={step.get('strip_left')}, right={step.get('strip_right')})"
    return kind


def _is_strip_right(step: Any) -> bool:
    return (_kind(step) == "Strip" and step.get("strip_left") is False
            and step.get("strip_right") is True)


def _is_fold_to_marker(step: Any) -> bool:
    return (_kind(step) == "Replace" and step.get("pattern") == _FOLD_PATTERN
            and step.get("content") == MARKER)


def _charsmap(step: Dict[str, Any]) -> bytes:
    text = step.get("precompiled_charsmap")
    if text is None or text == "":
        return b""
    if not isinstance(text, str):
        raise ConversionError("the Precompiled normaliser's character map is not a string")
    try:
        blob = base64.b64decode(text, validate=True)
    except (binascii.Error, ValueError):
        raise ConversionError("the Precompiled normaliser's character map is not base64") from None
    problem = charsmap_problem(blob)
    if problem:
        raise ConversionError(f"the Precompiled normaliser's {problem}")
    return blob


def read_normaliser(nz: Any, pipeline: Pipeline) -> None:
    """Fill ``pipeline`` from the ``normalizer`` object. Recognised steps must
    come in SentencePiece's order (character map, then white space); any other
    step, or one out of that order, goes to ``pipeline.unreproduced``."""
    steps = _steps(nz)
    stage = 0  # 0: a character map may come; 1: the white-space pair may come; 2: neither
    i = 0
    while i < len(steps):
        step = steps[i]
        if stage == 0 and _kind(step) == "Precompiled":
            pipeline.charsmap = _charsmap(step)
            stage, i = 1, i + 1
        elif stage < 2 and _is_strip_right(step) and i + 1 < len(steps) \
                and _is_fold_to_marker(steps[i + 1]):
            pipeline.strip_right = True
            stage, i = 2, i + 2
        else:
            pipeline.unreproduced.append(_describe(step))
            i += 1


def metaspace_scheme(pt: Dict[str, Any]) -> str:
    """The prepend scheme ("always", "first" or "never") of a Metaspace
    pre_tokenizer that zeq can reproduce; refuses any other."""
    rep = pt.get("replacement", MARKER)
    if rep != MARKER:
        raise ConversionError(f"pre_tokenizer Metaspace replaces spaces with {rep!r}; "
                              "zeq writes them as U+2581")
    scheme = pt.get("prepend_scheme")
    if scheme is None:
        scheme = "always" if pt.get("add_prefix_space", True) else "never"
    if scheme not in ("always", "first", "never"):
        raise ConversionError(f"pre_tokenizer Metaspace has unknown prepend_scheme {scheme!r}")
    if pt.get("split", True) is False:
        raise ConversionError("pre_tokenizer Metaspace does not split at spaces (split: false); "
                              "zeq always segments word by word")
    return scheme


def _read_metaspace(pt: Dict[str, Any], pipeline: Pipeline) -> None:
    pipeline.add_dummy_prefix = metaspace_scheme(pt) != "never"


def read_pre_tokenizer(pt: Any, pipeline: Pipeline) -> None:
    """Fill ``pipeline`` from the ``pre_tokenizer`` object, or refuse it."""
    if not isinstance(pt, dict):
        raise ConversionError("the tokenizer has no pre_tokenizer: zeq can represent only "
                              "Metaspace word splitting with U+2581")
    kind = pt.get("type")
    if kind == "Metaspace":
        _read_metaspace(pt, pipeline)
        return
    if kind == "Sequence":
        parts = [p for p in pt.get("pretokenizers") or [] if isinstance(p, dict)]
        kinds = [p.get("type") for p in parts]
        if kinds not in (["Metaspace"], ["WhitespaceSplit", "Metaspace"]):
            raise ConversionError(f"pre_tokenizer Sequence of {kinds}: zeq can represent "
                                  "only Metaspace (optionally after WhitespaceSplit)")
        _read_metaspace(parts[-1], pipeline)
        pipeline.whitespace_split = len(parts) == 2
        return
    raise ConversionError(f"pre_tokenizer {kind}: zeq can represent only Metaspace "
                          "word splitting with U+2581")


def read_pipeline(doc: Dict[str, Any], note: Callable[[str], None]) -> Pipeline:
    """The normaliser settings of a tokenizer.json; what still differs from
    tokenizers once they are applied goes to ``note``."""
    pipeline = Pipeline()
    read_pre_tokenizer(doc.get("pre_tokenizer"), pipeline)
    read_normaliser(doc.get("normalizer"), pipeline)
    if pipeline.unreproduced:
        note(f"the normaliser steps {', '.join(pipeline.unreproduced)} cannot be written to "
             "the options section: text that they change encodes differently")
    if pipeline.charsmap:
        note("tokenizers applies the character map one grapheme cluster at a time, "
             "SentencePiece's rule (which zeq follows) at every position: a few sequences "
             "of combining characters may normalise differently")
    if pipeline.strip_right:
        note("tokenizers' Strip drops trailing white space of every kind, "
             "remove_extra_whitespaces only spaces: a text ending in a tab or line break "
             "that the character map keeps encodes differently")
    if pipeline.whitespace_split:
        note("the pre_tokenizer WhitespaceSplit folds and strips every kind of white space "
             "(tabs, line breaks), remove_extra_whitespaces only spaces: such text "
             "encodes differently")
    if pipeline.add_dummy_prefix:
        starts = "U+2581" if pipeline.remove_extra_whitespaces else "a space or U+2581"
        note(f"tokenizers' Metaspace puts no marker in front of a text that begins with "
             f"{starts}; SentencePiece's rule, which zeq follows, puts one there, so such a "
             "text encodes differently")
    return pipeline


__all__ = ["Pipeline", "read_pipeline", "read_normaliser", "read_pre_tokenizer"]
