"""Loading a vocabulary with errors that name the file and say what is wrong.

The native loader's messages describe a fault without naming the file
(``io error: failed to fill whole buffer``), and it reports a missing file
and a broken one alike as a plain ``OSError``. Here the file is opened by
Python first, so that a file that cannot be opened raises Python's own
exception (``FileNotFoundError``, ``IsADirectoryError``,
``PermissionError``, ... with ``errno`` and ``filename`` set). When the
native loader then refuses the content, the same file is read again by
:func:`zeqtools.vocabfile.parse_vocab`, which names the first fault the way
``zeq inspect`` does (an empty file, a file that ends inside record k, a
piece that is not UTF-8), and :class:`~zeqtools.errors.VocabLoadError`
carries that text after the file name.
"""

from __future__ import annotations

import os
import stat
from typing import IO, Union

from .errors import VocabFormatError, VocabLoadError
from .vocabfile import parse_vocab

# Files up to this size are parsed again in Python to say what is wrong with
# them (a parse takes about 12 bytes of memory per byte of empty records);
# the largest vocabularies in use are about 5 MiB. Larger files that the
# native loader refuses get its own message.
DIAGNOSE_LIMIT = 8 << 20


def load_tokenizer(path: Union[str, os.PathLike]):
    """``zeq.Tokenizer`` loaded from ``path``.

    Raises the ``OSError`` subclass of the failed ``open`` when the file
    cannot be opened, and :class:`~zeqtools.errors.VocabLoadError` (an
    ``OSError`` and a ``ValueError``) when its content is refused.
    """
    import zeq

    name = os.fsdecode(path)
    with open(name, "rb") as f:
        try:
            return zeq.Tokenizer.from_file(_native_path(name, f))
        except OSError as e:
            problem = diagnose(f, str(e))
    raise VocabLoadError(name, problem)


def _native_path(name: str, f: IO[bytes]) -> str:
    """A path the native loader can take: it wants UTF-8, and a name that
    is not (its bytes arrive as lone surrogates) is reached through the
    descriptor that is already open, where the system offers one."""
    try:
        name.encode("utf-8")
        return name
    except UnicodeEncodeError:
        by_descriptor = f"/proc/self/fd/{f.fileno()}"
        return by_descriptor if os.path.exists(by_descriptor) else name


def diagnose(f: IO[bytes], fallback: str) -> str:
    """What is wrong with the vocabulary file open as ``f`` (at its start),
    in the words of ``parse_vocab``; ``fallback`` when that finds nothing
    or the file is not a regular file of at most :data:`DIAGNOSE_LIMIT`
    bytes."""
    if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
        return fallback
    data = f.read(DIAGNOSE_LIMIT + 1)
    if not data:
        return "the file is empty"
    if len(data) > DIAGNOSE_LIMIT:
        return fallback
    try:
        parse_vocab(data)
    except VocabFormatError as e:
        return str(e)
    return fallback


__all__ = ["DIAGNOSE_LIMIT", "load_tokenizer", "diagnose"]
