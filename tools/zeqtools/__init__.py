"""Companion tools for the zeq tokenizer.

- :class:`Encoder`: the ids of the model a vocabulary was converted from
  (its normaliser, unknown and special pieces), one text at a time or in
  batches on every core;
- :mod:`zeqtools.vocabfile`: the ``.vocab.bin`` format in Python (read, write,
  inspect);
- :mod:`zeqtools.convert`: vocabularies from SentencePiece ``.model`` files,
  Hugging Face ``tokenizer.json`` files and ``piece<TAB>score`` TSV;
- :mod:`zeqtools.corpus`: tokenizing large text files with several processes;
- :mod:`zeqtools.cli`: the ``zeq`` command.

:func:`sample_vocab_path` names the small sample vocabulary bundled with the
package (see ``zeqtools/data/README.md`` for its provenance and licence).
"""

import os
from typing import TYPE_CHECKING

from ._version import __version__
from .errors import ConversionError, CorpusError, VocabFormatError, VocabLoadError, ZeqToolsError

SAMPLE_VOCAB_NAME = "sample-en8k.vocab.bin"


if TYPE_CHECKING:
    from ._encoder import Encoder as Encoder, PanicException as PanicException


def __getattr__(name: str):
    # The native module is imported on first use, so that the pure-Python
    # parts (file format, converters) work where it is not built.
    if name in ("Encoder", "PanicException"):
        from . import _encoder

        return getattr(_encoder, name)
    raise AttributeError(f"module 'zeqtools' has no attribute {name!r}")


def sample_vocab_path() -> str:
    """Path of the bundled sample vocabulary (8,000 pieces of English, trained
    on the docstrings of the Python standard library)."""
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", SAMPLE_VOCAB_NAME)


__all__ = [
    "Encoder",
    "PanicException",
    "vocabfile",
    "convert",
    "corpus",
    "cli",
    "sample_vocab_path",
    "ZeqToolsError",
    "VocabFormatError",
    "VocabLoadError",
    "ConversionError",
    "CorpusError",
    "__version__",
]
