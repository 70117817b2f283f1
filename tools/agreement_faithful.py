"""The default mode of tools/check_agreement.py: a SentencePiece model
converted with its options section, encoded by ``zeqtools.Encoder``, against
SentencePiece itself (route ``sp``) and against Hugging Face ``tokenizers``
on a tokenizer.json of the same model shaped as transformers' converters
shape one (route ``hf``; that tokenizer.json is converted by ``zeq convert``
too).

Every line counts, whatever it begins with. A line whose ids differ is a
``tie`` when agreement_rescore finds the same exact total for every word cut
differently; else, on the hf route, a ``documented`` difference when one of
tokenizers' known ways of reading text explains it (named per line); else
``other``. Decoding is compared on the lines whose ids agree.
"""

from __future__ import annotations

import os
import re
import sys
import time
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Sequence, Tuple

from agreement_rescore import StepScorer, classify
from zeqtools.convert import from_hf_tokenizer_json, from_sentencepiece
from zeqtools.options import PieceKind
from zeqtools.vocabfile import VocabFile

MARKER = "\u2581"
_BYTE_PIECE = re.compile(r"<0x[0-9A-F]{2}>")


@dataclass
class Other:
    line: str
    reason: str
    ref_pieces: List[str]
    got_pieces: List[str]


@dataclass
class Tally:
    lines: int = 0
    agree: int = 0
    ties: int = 0
    rounding: int = 0  # near ties decided by how a side rounds its sums
    documented: Dict[str, int] = field(default_factory=dict)  # reason -> lines
    others: List[Other] = field(default_factory=list)
    rounding_examples: List[Tuple[str, str]] = field(default_factory=list)
    documented_examples: List[Tuple[str, str]] = field(default_factory=list)
    decode_checked: int = 0
    decode_differs: Dict[str, int] = field(default_factory=dict)  # reason -> lines
    decode_examples: List[Tuple[str, str, str]] = field(default_factory=list)

    @property
    def rate(self) -> float:
        return 100.0 * self.agree / self.lines if self.lines else 100.0


@dataclass
class Route:
    """One reference and the converted vocabulary that should match it."""

    name: str
    sums: str  # how the reference adds scores: a key of agreement_rescore.SUMS
    vocab: VocabFile
    vocab_path: str
    encode: Callable[[List[str]], List[List[int]]]
    decode: Callable[[List[List[int]]], List[str]]
    pieces: Callable[[str], List[str]]
    explain: Callable[[str, str], Optional[str]]  # (line, zeq's normalised text) -> reason


# --- the sp route --------------------------------------------------------------


def sp_route(model: str, tmp: str) -> Route:
    import sentencepiece as spm

    with open(model, "rb") as f:
        conv = from_sentencepiece(f.read())
    path = os.path.join(tmp, "sp.vocab.bin")
    conv.write(path)
    sp = spm.SentencePieceProcessor(model_file=model)

    def explain(line: str, norm: str) -> Optional[str]:
        theirs = sp.normalize(line)
        if theirs != norm:
            return f"SentencePiece normalises it to {theirs!r}, zeq to {norm!r}"
        return None

    return Route("sentencepiece", "sentencepiece", conv.vocab, path, lambda lines: sp.encode(lines),
                 lambda ids: sp.decode(ids), lambda line: sp.encode(line, out_type=str),
                 explain)


# --- the hf route --------------------------------------------------------------


def hf_tokenizer_json(vocab: VocabFile) -> str:
    """The SentencePiece model behind ``vocab`` (converted with its options
    section) as transformers' converters write a unigram model: its character
    map and white-space folding as normaliser, Metaspace, and its control and
    user-defined pieces as special and plain added tokens."""
    from tokenizers import AddedToken, Regex, Tokenizer, decoders, models, normalizers
    from tokenizers import pre_tokenizers

    options = vocab.options
    assert options is not None
    texts = [p.text if isinstance(p.text, str) else p.text.decode() for p in vocab.pieces]
    pieces = [(t, p.score) for t, p in zip(texts, vocab.pieces)]
    tk = Tokenizer(models.Unigram(pieces, unk_id=vocab.unk_id,
                                  byte_fallback=options.byte_fallback))
    steps: list = [normalizers.Precompiled(options.charsmap)] if options.charsmap else []
    if options.remove_extra_whitespaces:
        steps += [normalizers.Strip(left=False, right=True),
                  normalizers.Replace(Regex(" {2,}"), MARKER)]
    tk.normalizer = normalizers.Sequence(steps)
    tk.pre_tokenizer = pre_tokenizers.Metaspace(replacement=MARKER, prepend_scheme="always")
    tk.decoder = decoders.Metaspace(replacement=MARKER, prepend_scheme="always")
    special = {vocab.bos_id, vocab.eos_id, vocab.pad_id, vocab.unk_id}
    added = [i for i, k in sorted(options.kinds.items())
             if k in (PieceKind.CONTROL, PieceKind.USER_DEFINED)]
    added += [i for i in sorted(special) if i < len(texts) and i != vocab.unk_id]
    tk.add_tokens([AddedToken(texts[i], normalized=False,
                              special=options.kinds.get(i) != PieceKind.USER_DEFINED)
                   for i in sorted(set(added))])
    return tk.to_str()


def hf_route(sp_vocab: VocabFile, tmp: str) -> Route:
    from tokenizers import Tokenizer

    js = os.path.join(tmp, "tokenizer.json")
    text = hf_tokenizer_json(sp_vocab)
    with open(js, "w", encoding="utf-8") as f:
        f.write(text)
    conv = from_hf_tokenizer_json(text.encode())
    path = os.path.join(tmp, "hf.vocab.bin")
    conv.write(path)
    tk = Tokenizer.from_file(js)
    added = sorted((t.content for t in tk.get_added_tokens_decoder().values()), key=len,
                   reverse=True)

    def encode(lines: List[str]) -> List[List[int]]:
        return [e.ids for e in tk.encode_batch(lines, add_special_tokens=False)]

    def explain(line: str, norm: str) -> Optional[str]:
        return hf_difference(tk, added, line, norm)

    return Route("tokenizers", "tokenizers", conv.vocab, path, encode,
                 lambda ids: tk.decode_batch(ids, skip_special_tokens=True),
                 lambda line: tk.encode(line, add_special_tokens=False).tokens, explain)


def hf_difference(tk, added: Sequence[str], line: str, norm: str) -> Optional[str]:
    """Which of tokenizers' documented ways of reading text makes ``line``
    encode differently, or None."""
    hits = [a for a in added if a and a in line]
    if hits:
        return f"added tokens split the text (first {hits[0]!r})"
    normalised = tk.normalizer.normalize_str(line) if tk.normalizer else line
    if normalised.startswith(MARKER):
        return "leading U+2581: Metaspace puts no marker in front of it"
    theirs = "".join(w for w, _ in tk.pre_tokenizer.pre_tokenize_str(normalised))
    if theirs == norm:
        return None
    if line.rstrip() != line.rstrip(" "):
        return "Strip drops trailing white space of every kind"
    return (f"the character map applied per grapheme cluster: tokenizers reads {theirs!r}, "
            f"zeq {norm!r}")


def decode_difference(ids: Sequence[int], vocab: VocabFile) -> str:
    """Why tokenizers' decode of ``ids`` may differ: a byte piece in them."""
    texts = [vocab.pieces[i].text for i in ids if i < len(vocab.pieces)]
    if any(isinstance(t, str) and _BYTE_PIECE.fullmatch(t) for t in texts):
        return "byte pieces (its Metaspace decoder writes their text)"
    return "other"


# --- running -------------------------------------------------------------------


def compare(route: Route, lines: Sequence[str], threads: Optional[int] = None) -> Tally:
    import zeqtools

    enc = zeqtools.Encoder.from_file(route.vocab_path)
    scorer = StepScorer(route.vocab)
    got_all = enc.encode_batch(lines, threads=threads)
    ref_all = route.encode(list(lines))
    t = Tally(lines=len(lines))
    same: List[int] = []
    for k, (line, ref, got) in enumerate(zip(lines, ref_all, got_all)):
        if ref == got:
            t.agree += 1
            same.append(k)
            continue
        norm = enc.normalize(line)
        label, why = classify(scorer, norm, ref, got, route.sums)
        if label == "tie":
            t.ties += 1
            continue
        if label == "rounding":
            t.rounding += 1
            if len(t.rounding_examples) < 3:
                t.rounding_examples.append((line, why))
            continue
        documented = route.explain(line, norm)
        if documented is not None and route.name == "tokenizers":
            key = documented.split(" (")[0].split(":")[0]
            t.documented[key] = t.documented.get(key, 0) + 1
            if len(t.documented_examples) < 20:
                t.documented_examples.append((line, documented))
            continue
        t.others.append(Other(line, documented or why, route.pieces(line),
                              enc.encode_pieces(line)))
    _compare_decoding(route, enc, [got_all[k] for k in same], t, threads)
    return t


def _compare_decoding(route: Route, enc, id_lists: List[List[int]], t: Tally,
                      threads: Optional[int]) -> None:
    ours = enc.decode_batch(id_lists, threads=threads)
    theirs = route.decode(id_lists)
    t.decode_checked = len(id_lists)
    for ids, a, b in zip(id_lists, theirs, ours):
        if a == b:
            continue
        why = decode_difference(ids, route.vocab) if route.name == "tokenizers" else "other"
        t.decode_differs[why] = t.decode_differs.get(why, 0) + 1
        if len(t.decode_examples) < 5:
            t.decode_examples.append((why, a, b))


def check_command(route: Route, lines: Sequence[str], sample: int, tmp: str) -> Tuple[int, int]:
    """(lines compared, lines whose ids differ) between ``zeq encode --vocab
    CONVERTED --file F`` and ``Encoder.encode`` on the first ``sample`` lines
    (the command cuts its input at ``\\n`` only, as the corpora are read)."""
    import json
    import subprocess

    import zeqtools

    chosen = list(lines[:sample])
    path = os.path.join(tmp, "sample.txt")
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write("".join(l + "\n" for l in chosen))
    out = subprocess.run([sys.executable, "-m", "zeqtools", "encode", "--vocab",
                          route.vocab_path, "--file", path, "--json"],
                         capture_output=True, check=True).stdout.decode()
    got = [json.loads(l) for l in out.splitlines()]
    want = zeqtools.Encoder.from_file(route.vocab_path).encode_batch(chosen)
    if len(got) != len(want):
        return len(want), len(want)
    return len(want), sum(1 for a, b in zip(got, want) if a != b)


def report(model: str, route: Route, corpus: str, t: Tally, seconds: float, show: int) -> None:
    documented = sum(t.documented.values())
    print(f"{os.path.basename(model)} via {route.name} on {os.path.basename(corpus)}: "
          f"{t.agree}/{t.lines} lines agree ({t.rate:.3f}%), {t.ties} ties, "
          f"{t.rounding} rounding, {documented} documented, {len(t.others)} other; decoding: "
          f"{sum(t.decode_differs.values())} of {t.decode_checked} differ ({seconds:.1f}s)")
    for reason, n in sorted(t.documented.items(), key=lambda kv: -kv[1]):
        print(f"    documented: {n} lines: {reason}")
    for reason, n in sorted(t.decode_differs.items()):
        print(f"    decoding differs: {n} lines: {reason}")
    for why, a, b in t.decode_examples[:show]:
        print(f"      decoded ({why}): reference {a[:80]!r}, zeq {b[:80]!r}")
    for line, why in t.rounding_examples[:show]:
        print(f"    rounding: {line[:100]!r}\n      why: {why}")
    for o in t.others[:show]:
        print(f"    other: {o.line[:200]!r}\n      why: {o.reason}\n"
              f"      reference: {o.ref_pieces}\n      zeq:       {o.got_pieces}")


def run(models: Sequence[str], corpora: Dict[str, List[str]], routes: str, show: int,
        tmp: str, threads: Optional[int] = None, command_sample: int = 0) -> int:
    """Compare every model on every corpus; 1 if a line differs for a reason
    that is neither a tie nor documented, or decoding differs unexplained."""
    status = 0
    for model in models:
        sp = sp_route(model, tmp)
        chosen = ([sp] if routes in ("sp", "both") else []) + \
                 ([hf_route(sp.vocab, tmp)] if routes in ("hf", "both") else [])
        for route in chosen:
            for corpus, lines in corpora.items():
                t0 = time.perf_counter()
                t = compare(route, lines, threads)
                report(model, route, corpus, t, time.perf_counter() - t0, show)
                if t.others or t.decode_differs.get("other"):
                    status = 1
                if command_sample:
                    n, bad = check_command(route, lines, command_sample, tmp)
                    print(f"    zeq encode --file: {n - bad}/{n} lines give Encoder's ids")
                    status |= bad != 0
    return status


__all__ = ["Route", "Tally", "Other", "sp_route", "hf_route", "hf_tokenizer_json",
           "hf_difference", "compare", "run"]
