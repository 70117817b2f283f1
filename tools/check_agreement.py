#!/usr/bin/env python3
"""Compare zeq on converted vocabularies with the tokenizers they came from.

    python tools/check_agreement.py MODEL.model... --corpus TEXT... [--route sp|hf|both]
                                    [--sample N] [--show N] [--threads N]
                                    [--command-sample N]
    python tools/check_agreement.py --raw MODEL.model... --corpus TEXT... [--normalisation]

By default (tools/agreement_faithful.py) every SentencePiece model given is
converted with its options section and every line of every corpus is encoded
by ``zeqtools.Encoder`` and by the reference:

- ``sp``: SentencePiece itself, on the model file;
- ``hf``: Hugging Face ``tokenizers`` on a ``tokenizer.json`` of the same
  model shaped as transformers' converters shape one (character map,
  white-space folding, Metaspace, control and user-defined pieces as added
  tokens), which ``zeq convert`` converts too.

Each disagreement is a ``tie`` (equal exact scores, tools/agreement_rescore.py),
for ``hf`` a documented difference of tokenizers (named), or ``other``,
printed with both piece lists. Decoding is compared on the lines that agree.

``--raw`` is the comparison of ``zeq.Tokenizer`` on a conversion without an
options section (no normaliser, no special pieces), against a reference
tokenizer.json with no normaliser: lines that begin with a space are counted
apart (SentencePiece puts a second marker in front of them, so for ``sp``
the reference ids of such a line are those of the line without its first
space), and ties are found by re-scoring word by word with zeq's scores.
``--normalisation`` (with ``--raw``) also reports how many lines a default
SentencePiece normaliser (NFKC, whitespace folding) would change.

Needs ``sentencepiece`` (and ``tokenizers`` for the hf route).
"""

from __future__ import annotations

import argparse
import os
import random
import struct
import sys
import tempfile
import time
from dataclasses import dataclass, field
from fractions import Fraction
from typing import Callable, Dict, Iterable, List, Optional, Sequence, Tuple

# This folder holds zeqtools' sources without its built module: the installed
# package must come first, the helper modules beside this script after it.
_HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _HERE] + [_HERE]

import zeq  # noqa: E402
from zeqtools.convert import convert_file, from_hf_tokenizer_json  # noqa: E402
from zeqtools.vocabfile import FALLBACK_PENALTY, VocabFile, byte_piece_text  # noqa: E402

MARKER = "\u2581".encode()
_F32 = struct.Struct("<f")


def f32(x: float) -> float:
    return _F32.unpack(_F32.pack(x))[0]


@dataclass
class Scorer:
    """Re-scores id sequences with zeq's rules on one vocabulary."""

    vocab: VocabFile
    step: Dict[int, Tuple[bytes, float]] = field(default_factory=dict)

    def __post_init__(self) -> None:
        specials = {self.vocab.pad_id, self.vocab.unk_id, self.vocab.bos_id, self.vocab.eos_id}
        trie = [p.score for p in self.vocab.pieces if p.id not in specials]
        fallback = f32(min(trie) - FALLBACK_PENALTY)
        bytes_of = {byte_piece_text(b): b for b in range(256)}
        for p in self.vocab.pieces:
            text = p.text if isinstance(p.text, str) else p.text.decode()
            if text in bytes_of:
                self.step[p.id] = (bytes([bytes_of[text]]), fallback)
            elif p.id not in specials:
                self.step[p.id] = (text.encode(), p.score)

    def words(self, ids: Sequence[int]) -> Optional[List[Tuple[bytes, List[int]]]]:
        """Group ids into words (each starting with the marker); None if an id
        has no text (the unknown id)."""
        out: List[Tuple[bytes, List[int]]] = []
        for i in ids:
            s = self.step.get(i)
            if s is None:
                return None
            b = s[0]
            if b.startswith(MARKER) or not out:
                out.append((b, [i]))
            else:
                out[-1] = (out[-1][0] + b, out[-1][1] + [i])
        return out

    def exact(self, ids: Sequence[int]) -> Fraction:
        return sum((Fraction(self.step[i][1]) for i in ids), Fraction(0))


def classify(scorer: Scorer, ref: Sequence[int], got: Sequence[int]) -> str:
    """'tie' if every differing word has the same exact score both ways."""
    a, b = scorer.words(ref), scorer.words(got)
    if a is None or b is None or len(a) != len(b):
        return "other"
    for (ta, ia), (tb, ib) in zip(a, b):
        if ta != tb:
            return "other"
        if ia != ib and scorer.exact(ia) != scorer.exact(ib):
            return "other"
    return "tie"


@dataclass
class Tally:
    lines: int = 0
    agree: int = 0
    ties: int = 0
    others: List[str] = field(default_factory=list)
    space_lines: int = 0
    space_agree: int = 0
    space_ties: int = 0

    @property
    def rate(self) -> float:
        return 100.0 * self.agree / self.lines if self.lines else 100.0


def compare(tok: "zeq.Tokenizer", scorer: Scorer, lines: Sequence[str],
            reference: Callable[[List[str]], List[List[int]]], extra_marker: bool) -> Tally:
    """Encode every line both ways. ``extra_marker``: the reference puts a
    second marker in front of a line that begins with a space."""
    t = Tally()

    def tally(pairs: Iterable[Tuple[str, List[int]]]) -> Tuple[int, int, int]:
        """(lines, same ids, equal-score ties); other lines go to t.others."""
        n = agree = ties = 0
        for line, ref in pairs:
            n += 1
            got = tok.encode(line)
            if got == ref:
                agree += 1
            elif classify(scorer, ref, got) == "tie":
                ties += 1
            else:
                t.others.append(line)
        return n, agree, ties

    plain = [l for l in lines if not l.startswith(" ")]
    spaced = [l for l in lines if l.startswith(" ")]
    t.lines, t.agree, t.ties = tally(zip(plain, reference(plain)))
    ref_lines = [l[1:] for l in spaced] if extra_marker else spaced
    t.space_lines, t.space_agree, t.space_ties = tally(zip(spaced, reference(ref_lines)))
    return t


def sp_reference(model: str) -> Callable[[List[str]], List[List[int]]]:
    import sentencepiece as spm

    sp = spm.SentencePieceProcessor(model_file=model)
    return lambda lines: sp.encode(lines)


def build_hf_json(vocab: VocabFile, path: str) -> None:
    """A tokenizer.json holding the pieces of ``vocab`` as a Unigram model."""
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers

    pieces = [(p.text, p.score) for p in vocab.pieces]
    tk = Tokenizer(models.Unigram(pieces, unk_id=vocab.unk_id, byte_fallback=True))
    tk.pre_tokenizer = pre_tokenizers.Metaspace(replacement="\u2581", prepend_scheme="always")
    tk.decoder = decoders.Metaspace(replacement="\u2581", prepend_scheme="always")
    tk.save(path)


def hf_reference(path: str) -> Callable[[List[str]], List[List[int]]]:
    from tokenizers import Tokenizer

    tk = Tokenizer.from_file(path)
    return lambda lines: [e.ids for e in tk.encode_batch(lines, add_special_tokens=False)]


def read_lines(path: str, sample: int, seed: int = 7) -> List[str]:
    with open(path, encoding="utf-8", newline="") as f:  # lines end at \n only
        lines = f.read().split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    if sample and sample < len(lines):
        lines = random.Random(seed).sample(lines, sample)
    return lines


def normalisation_report(lines: Sequence[str]) -> Dict[str, float]:
    """Share of lines (in %) that a default SentencePiece normaliser changes."""
    import sentencepiece as spm

    ident = spm.SentencePieceNormalizer(rule_name="identity", remove_extra_whitespaces=False)
    nfkc = spm.SentencePieceNormalizer(rule_name="nmt_nfkc", remove_extra_whitespaces=False)
    fold = spm.SentencePieceNormalizer(rule_name="identity", remove_extra_whitespaces=True)
    n = len(lines)
    nf = sum(1 for l in lines if nfkc.normalize(l) != ident.normalize(l))
    ws = sum(1 for l in lines if fold.normalize(l) != ident.normalize(l))
    either = sum(1 for l in lines if l and (nfkc.normalize(l) != ident.normalize(l)
                                            or fold.normalize(l) != ident.normalize(l)))
    lead = sum(1 for l in lines if l.startswith(" "))
    return {"nfkc": 100 * nf / n, "whitespace": 100 * ws / n, "either": 100 * either / n,
            "leading_space": 100 * lead / n}


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("models", nargs="+", help="SentencePiece .model files")
    ap.add_argument("--corpus", nargs="+", required=True, help="text files, one line a text")
    ap.add_argument("--route", choices=("sp", "hf", "both"), default="both")
    ap.add_argument("--sample", type=int, default=0, help="lines per corpus (0: all)")
    ap.add_argument("--normalisation", action="store_true",
                    help="also report how many lines a default normaliser changes")
    ap.add_argument("--show", type=int, default=3, help="disagreements to print")
    ap.add_argument("--raw", action="store_true",
                    help="zeq.Tokenizer on conversions without an options section")
    ap.add_argument("--threads", type=int, default=None,
                    help="threads of Encoder.encode_batch (default: every CPU)")
    ap.add_argument("--command-sample", type=int, default=0, metavar="N",
                    help="also check `zeq encode --file` against the Encoder on N lines")
    args = ap.parse_args(argv)

    corpora = {c: read_lines(c, args.sample) for c in args.corpus}
    if not args.raw:
        import agreement_faithful

        with tempfile.TemporaryDirectory() as tmp:
            return agreement_faithful.run(args.models, corpora, args.route, args.show, tmp,
                                          args.threads, args.command_sample)
    return raw_main(args, corpora)


def raw_main(args: argparse.Namespace, corpora: Dict[str, List[str]]) -> int:
    """The comparison of zeq.Tokenizer on conversions without a section."""
    if args.normalisation:
        for c, lines in corpora.items():
            r = normalisation_report(lines)
            print(f"{os.path.basename(c)}: lines changed by NFKC {r['nfkc']:.2f}%, by whitespace "
                  f"folding {r['whitespace']:.2f}%, by either {r['either']:.2f}%; "
                  f"beginning with a space {r['leading_space']:.2f}%")
    status = 0
    with tempfile.TemporaryDirectory() as tmp:
        for model in args.models:
            conv = convert_file(model, "sentencepiece", raw=True)  # zeq.Tokenizer's view
            for note in conv.notes:
                print(f"{os.path.basename(model)}: note: {note}")
            routes = []
            if args.route in ("sp", "both"):
                path = os.path.join(tmp, "sp.vocab.bin")
                conv.write(path)
                routes.append(("sentencepiece", path, conv.vocab, sp_reference(model), True))
            if args.route in ("hf", "both"):
                js = os.path.join(tmp, "tokenizer.json")
                build_hf_json(conv.vocab, js)
                with open(js, "rb") as f:
                    hconv = from_hf_tokenizer_json(f.read(), raw=True)
                path = os.path.join(tmp, "hf.vocab.bin")
                hconv.write(path)
                routes.append(("tokenizer.json", path, hconv.vocab, hf_reference(js), False))
            for route, path, vocab, ref, extra in routes:
                tok = zeq.Tokenizer.from_file(path)
                scorer = Scorer(vocab)
                for c, lines in corpora.items():
                    t0 = time.perf_counter()
                    t = compare(tok, scorer, lines, ref, extra)
                    dt = time.perf_counter() - t0
                    print(f"{os.path.basename(model)} via {route} on {os.path.basename(c)}: "
                          f"{t.agree}/{t.lines} lines not beginning with a space agree "
                          f"({t.rate:.3f}%), {t.ties} float ties; lines beginning with a "
                          f"space: {t.space_agree}/{t.space_lines} agree, {t.space_ties} ties; "
                          f"{len(t.others)} other ({dt:.1f}s)")
                    for line in t.others[:args.show]:
                        print(f"    other: {line[:100]!r}")
                    if t.others or t.rate < 99.8:
                        status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
