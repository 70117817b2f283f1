"""The exceptions of the companion package.

Every failure that the ``zeq`` command reports as a one-line message (rather
than a traceback) is a :class:`ZeqToolsError`.
"""

from __future__ import annotations


class ZeqToolsError(Exception):
    """Base class of the package's errors; ``str()`` is a one-line message."""


class VocabFormatError(ZeqToolsError, ValueError):
    """A vocabulary file is not in the ``.vocab.bin`` format."""


class ConversionError(ZeqToolsError, ValueError):
    """A source model cannot be read, or cannot be represented as a zeq
    vocabulary."""


class CorpusError(ZeqToolsError):
    """An input of ``tokenize-corpus`` cannot be tokenized (for instance, it is
    not UTF-8)."""


__all__ = ["ZeqToolsError", "VocabFormatError", "ConversionError", "CorpusError"]
