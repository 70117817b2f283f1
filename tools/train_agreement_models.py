#!/usr/bin/env python3
"""Train the SentencePiece unigram models that tools/check_agreement.py is
measured on: one per kind of settings, each on one corpus.

    python tools/train_agreement_models.py --corpus EN.txt:8000 MULTI.txt:16000
                                           --out DIR [--kinds KIND...]

Writes DIR/<corpus stem><vocab size / 1000>k_<kind>.model (for example
``en8k_byte_fallback.model``). Every model is trained with SentencePiece's
defaults (``nmt_nfkc``, ``add_dummy_prefix``, ``remove_extra_whitespaces``)
except what its kind names, on at most 200,000 shuffled lines. The
``default`` kind is what the shared folder's ``vocab/faithful`` holds already.

Needs ``sentencepiece``.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Dict, List, Optional

# The user-defined and control symbols of the ``symbols`` kind: pieces that
# occur in the shared corpora (in URLs, C++ and shell text, a masked
# placeholder), and one that does not.
USER_DEFINED = ["<br>", "http", "[x]", "->", "::", "www."]
CONTROL = ["<mask>", "<sep>"]

# kind -> trainer arguments besides the common ones
KINDS: Dict[str, Dict[str, Any]] = {
    "default": {},
    "byte_fallback": {"byte_fallback": True},
    "nfkc_cf": {"normalization_rule_name": "nfkc_cf"},
    "nmt_nfkc_cf": {"normalization_rule_name": "nmt_nfkc_cf"},
    "identity_folding": {"normalization_rule_name": "identity", "remove_extra_whitespaces": True},
    "symbols": {"user_defined_symbols": USER_DEFINED, "control_symbols": CONTROL},
}
COMMON: Dict[str, Any] = dict(model_type="unigram", input_sentence_size=200000, shuffle_input_sentence=True,
              num_threads=2, minloglevel=1)


def model_name(corpus: str, vocab_size: int, kind: str) -> str:
    stem = os.path.splitext(os.path.basename(corpus))[0]
    return f"{stem}{vocab_size // 1000}k_{kind}"


def train(corpus: str, vocab_size: int, kind: str, out_dir: str) -> str:
    import sentencepiece as spm

    prefix = os.path.join(out_dir, model_name(corpus, vocab_size, kind))
    spm.SentencePieceTrainer.train(input=corpus, model_prefix=prefix, vocab_size=vocab_size,
                                   **COMMON, **KINDS[kind])
    return prefix + ".model"


def parse_corpus(arg: str) -> tuple:
    path, sep, size = arg.rpartition(":")
    if not sep or not size.isdigit():
        raise argparse.ArgumentTypeError(f"expected PATH:VOCAB_SIZE, got {arg!r}")
    return path, int(size)


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--corpus", nargs="+", type=parse_corpus, required=True,
                    help="PATH:VOCAB_SIZE, one model of each kind per corpus")
    ap.add_argument("--out", required=True, help="folder for the .model and .vocab files")
    ap.add_argument("--kinds", nargs="+", choices=sorted(KINDS),
                    default=[k for k in KINDS if k != "default"])
    args = ap.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    for path, size in args.corpus:
        for kind in args.kinds:
            print(train(path, size, kind, args.out), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
