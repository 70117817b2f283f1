"""SentencePiece models trained at test time, one per kind of settings, on a
slice of the shared corpora; a tokenizer.json built from one the way
transformers' converters build them; and SentencePiece's own ids on sample
lines, for comparisons with zeq.

Training takes well under a second a model (small vocabulary, 4,000 lines,
one thread); the conftest fixture ``sp_model`` trains each kind once a
session. The model's settings are read back here with a protobuf walker of
the tests' own, independent of zeqtools.protowire.
"""

from __future__ import annotations

import io
import random
from typing import Dict, List, Tuple

from conftest import shared_path

M = "\u2581"
USER_DEFINED = ["[X]", "<sep>"]
CONTROL = ["<mask>", "<cls>"]
TRAINING_LINES = 2000  # from the start of each corpus

# kind -> the trainer arguments besides the common ones below
KINDS: Dict[str, dict] = {
    "default": {},  # nmt_nfkc, add_dummy_prefix, remove_extra_whitespaces
    "nfkc": {"normalization_rule_name": "nfkc"},
    "nfkc_cf": {"normalization_rule_name": "nfkc_cf"},
    "nmt_nfkc_cf": {"normalization_rule_name": "nmt_nfkc_cf"},
    "identity_folding": {"normalization_rule_name": "identity",
                         "remove_extra_whitespaces": True},
    "byte_fallback": {"byte_fallback": True},
    "symbols": {"user_defined_symbols": USER_DEFINED, "control_symbols": CONTROL},
}
_COMMON = dict(model_type="unigram", vocab_size=2000, character_coverage=0.995,
               hard_vocab_limit=False, num_threads=1, minloglevel=2)


def _corpus_lines(name: str) -> List[str]:
    text = shared_path("corpus", name).read_text(encoding="utf-8")
    return text.split("\n")[:-1]


def training_lines() -> List[str]:
    return _corpus_lines("en.txt")[:TRAINING_LINES] + _corpus_lines("multi.txt")[:TRAINING_LINES]


def train(kind: str, lines: List[str]) -> bytes:
    """The bytes of a unigram model of ``kind`` (a key of KINDS) trained on ``lines``."""
    import sentencepiece as spm

    out = io.BytesIO()
    spm.SentencePieceTrainer.train(sentence_iterator=iter(lines), model_writer=out,
                                   **_COMMON, **KINDS[kind])
    return out.getvalue()


def sample_lines(n: int = 3000, seed: int = 1) -> List[str]:
    """``n`` lines of each corpus, none of them from the training slice."""
    rng = random.Random(seed)
    out: List[str] = []
    for name in ("en.txt", "multi.txt"):
        rest = _corpus_lines(name)[TRAINING_LINES:]
        out.extend(rng.sample(rest, min(n, len(rest))))
    return out


def sentencepiece_ids(model: bytes, lines: List[str]) -> List[Tuple[str, List[int]]]:
    """(text, SentencePiece's ids) for every line."""
    import sentencepiece as spm

    sp = spm.SentencePieceProcessor(model_proto=model)
    return list(zip(lines, sp.encode(lines)))


# --- the model's settings, read with a walker of the tests' own --------------


def _varint(data: bytes, pos: int) -> Tuple[int, int]:
    value = shift = 0
    while True:
        b = data[pos]
        value |= (b & 0x7F) << shift
        pos += 1
        shift += 7
        if b < 0x80:
            return value, pos


def _fields(data: bytes) -> Dict[int, list]:
    """field number -> its values (ints for varints, bytes otherwise)."""
    out: Dict[int, list] = {}
    pos = 0
    while pos < len(data):
        key, pos = _varint(data, pos)
        wire = key & 7
        if wire == 0:
            value, pos = _varint(data, pos)
        elif wire == 2:
            n, pos = _varint(data, pos)
            value, pos = data[pos:pos + n], pos + n
        else:
            size = 4 if wire == 5 else 8
            value, pos = data[pos:pos + size], pos + size
        out.setdefault(key >> 3, []).append(value)
    return out


def normaliser_settings(model: bytes) -> dict:
    """The model's normaliser settings, SentencePiece's defaults filled in."""
    ns = _fields(_fields(model)[3][0])
    return {"name": ns.get(1, [b""])[0].decode(), "charsmap": ns.get(2, [b""])[0],
            "add_dummy_prefix": bool(ns.get(3, [1])[0]),
            "remove_extra_whitespaces": bool(ns.get(4, [1])[0]),
            "escape_whitespaces": bool(ns.get(5, [1])[0])}


# --- a tokenizer.json shaped like transformers' SentencePiece converters -----


def hf_tokenizer_json(model: bytes, prepend_scheme: str = "always") -> str:
    """The model as transformers converts a SentencePiece unigram model: its
    character map and the white-space folding as normaliser, Metaspace, and
    its control and user-defined pieces as special and plain added tokens."""
    import sentencepiece as spm
    from tokenizers import AddedToken, Regex, Tokenizer, decoders, models, normalizers
    from tokenizers import pre_tokenizers

    sp = spm.SentencePieceProcessor(model_proto=model)
    settings = normaliser_settings(model)
    vocab = [(sp.id_to_piece(i), sp.get_score(i)) for i in range(sp.get_piece_size())]
    byte_fallback = any(sp.is_byte(i) for i in range(sp.get_piece_size()))
    tk = Tokenizer(models.Unigram(vocab, unk_id=sp.unk_id(), byte_fallback=byte_fallback))
    steps = [normalizers.Precompiled(settings["charsmap"])] if settings["charsmap"] else []
    if settings["remove_extra_whitespaces"]:
        steps += [normalizers.Strip(left=False, right=True),
                  normalizers.Replace(Regex(" {2,}"), M)]
    tk.normalizer = normalizers.Sequence(steps)
    tk.pre_tokenizer = pre_tokenizers.Metaspace(replacement=M, prepend_scheme=prepend_scheme)
    tk.decoder = decoders.Metaspace(replacement=M, prepend_scheme=prepend_scheme)
    user_defined = set(USER_DEFINED)
    tk.add_tokens([AddedToken(sp.id_to_piece(i), normalized=False, special=sp.is_control(i))
                   for i in range(sp.get_piece_size())
                   if sp.is_control(i) or sp.id_to_piece(i) in user_defined])
    return tk.to_str()
