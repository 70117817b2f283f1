"""The exceptions of the companion package.

Every failure that the ``zeq`` command reports as a one-line message (rather
than a traceback) is a :class:`ZeqToolsError`.
"""

from __future__ import annotations


class ZeqToolsError(Exception):
    """Base class of the package's errors; ``str()`` is a one-line message."""


class VocabFormatError(ZeqToolsError, ValueError):
    """A vocabulary file is not in the ``.vocab.bin`` format."""


class VocabLoadError(VocabFormatError, OSError):
    """zeq refused the content of a vocabulary file that could be read.

    ``str()`` is ``"FILE: what is wrong"``; ``filename`` names the file and
    ``problem`` says what is wrong. An ``OSError`` too, like the errors of
    ``zeq.Tokenizer.from_file``, so that code written for it keeps working.
    ``errno`` and ``strerror`` are ``None``: no system call failed.
    """

    def __init__(self, filename: str, problem: str) -> None:
        super().__init__(f"{filename}: {problem}")
        self.filename = filename
        self.problem = problem

    def __str__(self) -> str:
        return str(self.args[0])  # OSError's own form would show errno and strerror

    def __reduce__(self):
        return (type(self), (self.filename, self.problem))


class ConversionError(ZeqToolsError, ValueError):
    """A source model cannot be read, or cannot be represented as a zeq
    vocabulary."""


class CorpusError(ZeqToolsError):
    """An input of ``tokenize-corpus`` cannot be tokenized (for instance, it is
    not UTF-8)."""


__all__ = ["ZeqToolsError", "VocabFormatError", "VocabLoadError", "ConversionError", "CorpusError"]
