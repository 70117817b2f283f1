"""Exact re-scoring of two encodings of one normalised text, for
tools/check_agreement.py: does a disagreement come from an exact tie?

An encoding is laid over the normalised text (the text segmentation reads,
``zeqtools.Encoder.normalize``) step by step, each step with its score as a
``Fraction`` of the float32 values a converted model uses:

- an ordinary piece: its stored score;
- a user-defined piece: ``length in bytes × max(FLT_MIN, greatest ordinary
  score) − 0.1``, the product rounded to float32, the difference to float32;
- an uncovered character: one fallback step (least ordinary score − 10,
  rounded to float32), whether it came out as ``unk_id`` (a merged run of
  them covers several characters) or as the byte pieces of its bytes.

Words begin at every U+2581 of the normalised text. Two encodings tie when
their steps cover the same words and every word they cut differently has the
same total both ways.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass
from fractions import Fraction
from typing import Dict, List, Optional, Sequence, Tuple

from zeqtools.options import PieceKind
from zeqtools.vocabfile import FALLBACK_PENALTY, VocabFile, byte_piece_text

MARKER = "\u2581".encode()
FLT_MIN = 1.1754943508222875e-38
_F32 = struct.Struct("<f")


def f32(x: float) -> float:
    return _F32.unpack(_F32.pack(x))[0]


def user_defined_score(length: int, greatest: float) -> float:
    return f32(f32(length * greatest) - 0.1)


@dataclass(frozen=True)
class Step:
    """One id laid over bytes [start, end) of the normalised text."""

    start: int
    end: int
    score: Fraction
    id: int


class StepScorer:
    """The texts and exact scores of the ids of one converted vocabulary
    (with its options section)."""

    def __init__(self, vocab: VocabFile):
        options = vocab.options
        kinds: Dict[int, PieceKind] = dict(options.kinds) if options else {}
        specials = {vocab.pad_id, vocab.unk_id, vocab.bos_id, vocab.eos_id}
        ordinary = [p.score for i, p in enumerate(vocab.pieces)
                    if p.id not in specials and i not in kinds]
        greatest = max([FLT_MIN] + ordinary)
        least = min(ordinary, default=0.0)
        # One uncovered character, as each way of adding scores sees it.
        self.fallback_step = {"float32": f32(least - FALLBACK_PENALTY),
                              "float64": least - FALLBACK_PENALTY}
        self.fallback = Fraction(self.fallback_step["float32"])
        self.unk_id = vocab.unk_id
        self.byte_fallback = bool(options and options.byte_fallback)
        byte_of = {byte_piece_text(b): b for b in range(256)}
        self.bytes: Dict[int, int] = {}  # id -> byte, for the byte pieces used as fallback
        self.texts: Dict[int, Tuple[bytes, Fraction]] = {}  # ids that spell their own text
        # text -> (id, score as zeq adds it, score as SentencePiece adds it)
        self.by_text: Dict[bytes, Tuple[int, float, float]] = {}
        for i, p in enumerate(vocab.pieces):
            text = p.text_bytes()
            kind = kinds.get(i)
            if p.id in specials or kind in (PieceKind.CONTROL, PieceKind.UNUSED):
                continue
            if self.byte_fallback and p.text in byte_of:
                self.bytes[p.id] = byte_of[p.text]  # type: ignore[index]
            if kind == PieceKind.BYTE:
                continue
            user = kind == PieceKind.USER_DEFINED
            score = user_defined_score(len(text), greatest) if user else p.score
            self.texts[p.id] = (text, Fraction(score))
            if not user:
                self.by_text[text] = (p.id, p.score, p.score)
            else:  # SentencePiece adds the unrounded difference to its float sum
                self.by_text[text] = (p.id, score, f32(len(text) * greatest) - 0.1)

    def lay(self, ids: Sequence[int], norm: bytes) -> Optional[List[Step]]:
        """The steps of ``ids`` over ``norm``, or None when the ids do not
        spell it. A byte-fallback id is read as its byte when the byte is
        what the text holds there, else as its own text."""
        steps: List[Step] = []
        pos = 0
        n = len(ids)
        for k, i in enumerate(ids):
            b = self.bytes.get(i)
            if b is not None and pos < len(norm) and norm[pos] == b:
                lead = b & 0xC0 != 0x80  # a character's first byte starts a step
                steps.append(Step(pos, pos + 1, self.fallback if lead else Fraction(0), i))
                pos += 1
                continue
            entry = self.texts.get(i)
            if entry is not None and norm.startswith(entry[0], pos):
                steps.append(Step(pos, pos + len(entry[0]), entry[1], i))
                pos += len(entry[0])
                continue
            if i != self.unk_id or pos >= len(norm):
                return None
            end = self._unknown_end(ids[k + 1:n], norm, pos)
            chars = sum(1 for c in norm[pos:end] if c & 0xC0 != 0x80)
            steps.append(Step(pos, end, self.fallback * chars, i))
            pos = end
        return steps if pos == len(norm) else None

    def _unknown_end(self, rest: Sequence[int], norm: bytes, pos: int) -> int:
        """Where a run of unknown characters from ``pos`` ends: at the first
        later character where the next id's text begins (the end when none)."""
        nxt = rest[0] if rest else None
        probe = self.texts.get(nxt)[0] if nxt in self.texts else None  # type: ignore[index]
        end = _next_char(norm, pos)
        while end < len(norm):
            if probe is not None and norm.startswith(probe, end):
                return end
            if nxt in self.bytes and norm[end] == self.bytes[nxt]:  # type: ignore[index]
                return end
            end = _next_char(norm, end)
        return end


def _next_char(norm: bytes, pos: int) -> int:
    pos += 1
    while pos < len(norm) and norm[pos] & 0xC0 == 0x80:
        pos += 1
    return pos


# How each tokenizer adds scores along a path: over the whole line or word by
# word, rounding every sum to float32 or keeping doubles.
SUMS = {
    "sentencepiece": ("line", "float32"),
    "tokenizers": ("line", "float64"),
    # zeqtools.Encoder scores each word from the line's running score, as
    # SentencePiece does (its user-defined pieces at their float32 score).
    "zeq": ("line", "float32"),
}


def viterbi(scorer: StepScorer, norm: str, sums: str) -> List[int]:
    """The ids of the best path over ``norm`` when scores are added the way
    ``sums`` (a key of SUMS) says: offers in order of their start, then of
    their length, the fallback step of a character last; a later offer wins
    only with a strictly greater sum. Unknown runs merged, fallback steps
    expanded to byte pieces when the vocabulary falls back to bytes."""
    span, precision = SUMS[sums]
    text = norm.encode()
    rnd = f32 if precision == "float32" else float
    longest = max((len(t) for t in scorer.by_text), default=1)
    bounds = set(word_bounds(text)) if span == "word" else {0}
    # best[e] = (sum, start, id) of the best path ending at byte e
    best: List[Optional[Tuple[float, int, int]]] = [None] * (len(text) + 1)
    best[0] = (0.0, -1, -1)
    start = 0
    while start < len(text):
        here = 0.0 if start in bounds else best[start][0]  # type: ignore[index]
        step = _next_char(text, start) - start
        single = False
        for length in range(1, min(longest, len(text) - start) + 1):
            entry = scorer.by_text.get(text[start:start + length])
            if entry is None:
                continue
            _, ours, theirs = entry
            add = theirs if sums == "sentencepiece" else ours
            # SentencePiece: float + float rounds to float; its user-defined
            # score is a double, so that sum is a double, rounded when kept.
            cand = here + add if add != ours else rnd(here + add)
            _offer(best, start + length, cand, start, entry[0], rnd)
            single = single or length == step
        if not single:
            fallback = scorer.fallback_step[precision]
            _offer(best, start + step, rnd(here + fallback), start, scorer.unk_id, rnd)
        start += step
    return _backtrack(scorer, text, best)


def _offer(best: list, end: int, cand: float, start: int, piece: int, rnd) -> None:
    cell = best[end]
    if cell is None or cand > cell[0]:
        best[end] = (rnd(cand), start, piece)


def _backtrack(scorer: StepScorer, text: bytes, best: list) -> List[int]:
    out: List[int] = []
    end = len(text)
    while end > 0:
        _, start, piece = best[end]
        if piece == scorer.unk_id and scorer.byte_fallback:
            by_byte = {b: i for i, b in scorer.bytes.items()}
            out.extend(reversed([by_byte.get(b, scorer.unk_id) for b in text[start:end]]))
        elif not (piece == scorer.unk_id and out and out[-1] == scorer.unk_id):
            out.append(piece)
        end = start
    return out[::-1]


def word_bounds(norm: bytes) -> List[int]:
    """Start of every word (each U+2581, and 0) and the end of the text."""
    starts = {0}
    at = norm.find(MARKER)
    while at != -1:
        starts.add(at)
        at = norm.find(MARKER, at + len(MARKER))
    return sorted(starts) + [len(norm)]


def by_word(steps: List[Step], bounds: List[int]) -> Optional[List[List[Step]]]:
    """The steps of each word, or None if a step crosses from one word into
    the next."""
    words: List[List[Step]] = [[] for _ in bounds[:-1]]
    w = 0
    for s in steps:
        while bounds[w + 1] <= s.start:
            w += 1
        if s.end > bounds[w + 1]:
            return None
        words[w].append(s)
    return words


def compare_exactly(scorer: StepScorer, norm: str, ref: Sequence[int],
                    got: Sequence[int]) -> Tuple[str, str]:
    """("tie", words) when every word that ``ref`` and ``got`` cut differently
    scores the same both ways in exact arithmetic; ("higher", why) when the
    exact totals differ, naming the word and the higher side; ("unaligned",
    why) when the two cannot be compared word by word."""
    text = norm.encode()
    a, b = scorer.lay(ref, text), scorer.lay(got, text)
    if a is None or b is None:
        who = "the reference's" if a is None else "zeq's"
        return "unaligned", f"{who} pieces do not spell the normalised text"
    bounds = word_bounds(text)
    wa, wb = by_word(a, bounds), by_word(b, bounds)
    if wa is None or wb is None:
        return "unaligned", "a piece crosses a word boundary"
    differing = []
    for sa, sb in zip(wa, wb):
        if [s.id for s in sa] == [s.id for s in sb]:
            continue
        total_a, total_b = sum(s.score for s in sa), sum(s.score for s in sb)
        word = text[sa[0].start:sa[-1].end].decode(errors="replace")
        if total_a != total_b:
            better = "zeq's" if total_b > total_a else "the reference's"
            return "higher", (f"word {word!r} scores {float(total_a):.9g} (reference) and "
                              f"{float(total_b):.9g} (zeq): {better} is higher")
        differing.append(word)
    return "tie", ", ".join(repr(w) for w in differing)


def classify(scorer: StepScorer, norm: str, ref: Sequence[int], got: Sequence[int],
             reference: str) -> Tuple[str, str]:
    """("tie", words), ("rounding", why) or ("other", why) for two different
    encodings of ``norm``; ``reference`` (a key of SUMS) names how the
    reference adds scores. "rounding": the exact totals differ, but each side
    is what its own way of adding scores picks, so the rounding of sums over
    a line (or a word) decided a near tie."""
    label, why = compare_exactly(scorer, norm, ref, got)
    if label == "tie":
        return label, why
    theirs = viterbi(scorer, norm, reference) == list(ref)
    ours = viterbi(scorer, norm, "zeq") == list(got)
    if label == "higher" and theirs and ours:
        return "rounding", why
    if not ours:
        why += "; zeq's ids are not the best path by zeq's own sums"
    if not theirs:
        why += f"; the reference's ids are not the best path by {reference}'s sums"
    return "other", why


__all__ = ["Step", "StepScorer", "compare_exactly", "classify", "viterbi", "SUMS", "word_bounds", "by_word", "f32",
           "user_defined_score"]
