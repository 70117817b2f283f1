"""Companion tools for the zeq tokenizer.

- :mod:`zeqtools.vocabfile`: the ``.vocab.bin`` format in Python (read, write,
  inspect);
- :mod:`zeqtools.convert`: vocabularies from SentencePiece ``.model`` files,
  Hugging Face ``tokenizer.json`` files and ``piece<TAB>score`` TSV;
- :mod:`zeqtools.corpus`: tokenizing large text files with several processes;
- :mod:`zeqtools.loading`: loading a vocabulary with errors that name the
  file and say what is wrong with it;
- :mod:`zeqtools.cli`: the ``zeq`` command.

:func:`sample_vocab_path` names the small sample vocabulary bundled with the
package (see ``zeqtools/data/README.md`` for its provenance and licence).
"""

import os

from ._version import __version__
from .errors import ConversionError, CorpusError, VocabFormatError, VocabLoadError, ZeqToolsError

SAMPLE_VOCAB_NAME = "sample-en8k.vocab.bin"


def sample_vocab_path() -> str:
    """Path of the bundled sample vocabulary (8,000 pieces of English, trained
    on the docstrings of the Python standard library)."""
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", SAMPLE_VOCAB_NAME)


__all__ = [
    "vocabfile",
    "convert",
    "corpus",
    "loading",
    "cli",
    "sample_vocab_path",
    "ZeqToolsError",
    "VocabFormatError",
    "VocabLoadError",
    "ConversionError",
    "CorpusError",
    "__version__",
]
