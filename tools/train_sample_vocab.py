#!/usr/bin/env python3
"""Train the sample vocabulary bundled with zeqtools.

    python tools/train_sample_vocab.py [--out tools/zeqtools/data/sample-en8k.vocab.bin]
                                       [--keep-corpus PATH] [--keep-model PREFIX]

1. Gathers English text that may be redistributed: the docstrings of the
   Python standard library of the running interpreter (modules, classes,
   functions; test packages left out) and the reference-manual topics of
   ``pydoc_data.topics``, all under the PSF License Agreement. Each docstring
   paragraph becomes one line, with its white space collapsed; repeated lines
   are kept once, in a fixed order.
2. Trains an 8,000-piece unigram model with the SentencePiece trainer (a
   build-time tool here; zeq never runs it) with identity normalisation, so
   that zeq, which has no normaliser, encodes exactly as the model does.
3. Converts the model with zeqtools' own SentencePiece converter and writes
   the ``.vocab.bin``.

The text, and so the vocabulary, depends on the interpreter's version; the
bundled file was made with CPython 3.11.7 and sentencepiece 0.2.3 (see
``tools/zeqtools/data/README.md``). The script prints the SHA-256 of the
training text and of the result.
"""

from __future__ import annotations

import argparse
import ast
import hashlib
import os
import platform
import re
import sys
import sysconfig
import tempfile
from typing import Iterator, List

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_OUT = os.path.join(HERE, "zeqtools", "data", "sample-en8k.vocab.bin")
SKIP_DIRS = {"site-packages", "dist-packages", "test", "tests", "idle_test", "__pycache__"}

TRAINER_OPTIONS = dict(
    model_type="unigram",
    vocab_size=8000,
    byte_fallback=True,
    normalization_rule_name="identity",
    add_dummy_prefix=True,
    remove_extra_whitespaces=False,
    split_by_whitespace=True,
    character_coverage=0.9995,
    unk_id=0, bos_id=1, eos_id=2, pad_id=3,
    num_threads=1,
    shuffle_input_sentence=False,
    input_sentence_size=0,
    minloglevel=2,
)


def _paragraphs(doc: str) -> Iterator[str]:
    for para in re.split(r"\n\s*\n", doc):
        line = " ".join(para.split())
        if len(line) >= 2:
            yield line


def stdlib_docstrings() -> Iterator[str]:
    root = sysconfig.get_paths()["stdlib"]
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d not in SKIP_DIRS)
        for name in sorted(filenames):
            if not name.endswith(".py"):
                continue
            try:
                with open(os.path.join(dirpath, name), "rb") as f:
                    tree = ast.parse(f.read())
            except (SyntaxError, ValueError):
                continue
            for node in ast.walk(tree):
                if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef,
                                     ast.AsyncFunctionDef)):
                    doc = ast.get_docstring(node)
                    if doc:
                        yield from _paragraphs(doc)


def pydoc_topics() -> Iterator[str]:
    from pydoc_data.topics import topics

    for key in sorted(topics):
        yield from _paragraphs(topics[key])


def gather() -> List[str]:
    seen = set()
    lines = []
    for line in list(stdlib_docstrings()) + list(pydoc_topics()):
        if line not in seen:
            seen.add(line)
            lines.append(line)
    return lines


def sha256(path: str) -> str:
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--out", default=DEFAULT_OUT)
    ap.add_argument("--keep-corpus", metavar="PATH", help="also keep the training text here")
    ap.add_argument("--keep-model", metavar="PREFIX", help="also keep PREFIX.model and PREFIX.vocab")
    args = ap.parse_args(argv)

    import sentencepiece as spm

    sys.path.insert(0, HERE)
    from zeqtools.convert import from_sentencepiece

    lines = gather()
    with tempfile.TemporaryDirectory() as tmp:
        corpus = args.keep_corpus or os.path.join(tmp, "corpus.txt")
        with open(corpus, "w", encoding="utf-8", newline="\n") as f:
            for line in lines:
                f.write(line + "\n")
        prefix = args.keep_model or os.path.join(tmp, "sample")
        spm.SentencePieceTrainer.train(input=corpus, model_prefix=prefix, **TRAINER_OPTIONS)
        with open(prefix + ".model", "rb") as f:
            conv = from_sentencepiece(f.read(), strict=True)
        conv.write(args.out)
        print(f"python {platform.python_version()}, sentencepiece {spm.__version__}")
        print(f"training text: {len(lines):,} lines, {os.path.getsize(corpus):,} bytes, "
              f"sha256 {sha256(corpus)}")
        print(f"wrote {args.out}: {len(conv.vocab.pieces):,} pieces, "
              f"{os.path.getsize(args.out):,} bytes, sha256 {sha256(args.out)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
