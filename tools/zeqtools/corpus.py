"""Tokenizing large text files into a flat id file with a document index.

Output, for an output prefix ``P``:

- ``P.ids``: every id of every document, in order, as little-endian uint32;
- ``P.idx``: n + 1 little-endian uint64 offsets for n documents, counted in
  ids: document i is ``ids[idx[i]:idx[i + 1]]``; ``idx[0]`` is 0 and
  ``idx[n]`` the number of ids.

A document is one line (the text between two ``\\n``; a ``\\r`` before it is
kept, an empty line is an empty document, and a final ``\\n`` at the end of a
file does not start another one) or, with ``per_file``, one whole file. With
``eos`` the vocabulary's eos_id follows every document. The ids of a document
are exactly ``Encoder.encode`` of its text (for a whole-file document of a
converted model, read a range at a time, up to an exact tie in a word at a
range border, which the model's running score decides). The input ``-`` is standard
input, read as it comes (a pipe of any size, in bounded memory); with
``per_file`` it is one document.

The work is cut into byte ranges of the input files, ending on line
boundaries (or, for whole-file documents, in front of a space, where zeq's
word splitting cuts anyway, so that the pieces of a document concatenate to
its ids); standard input is read in blocks cut the same way. The ranges are
read and written in input order by this process, and the lines of each are
encoded by :meth:`zeqtools.Encoder.encode_flat` on ``threads`` threads,
which share one loaded vocabulary (measured against worker processes in
docs/experiments.md). A stop signal or Ctrl-C reaches the encoding within
milliseconds.
"""

from __future__ import annotations

import errno
import itertools
import mmap
import os
import stat
import sys
import time
from array import array
from dataclasses import dataclass, field
from typing import BinaryIO, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

from .errors import CorpusError
from .progress import Progress

IDS_SUFFIX = ".ids"
INDEX_SUFFIX = ".idx"
STDIN = "-"
STDIN_NAME = "<stdin>"
DEFAULT_CHUNK_BYTES = 4 << 20
MIN_CHUNK_BYTES = 64 << 10
STREAM_CHUNK_BYTES = 1 << 20
_SCAN = 64 << 10

_LITTLE = sys.byteorder == "little"


def _u32_array() -> array:
    a = array("I")
    if a.itemsize != 4:  # pragma: no cover - every platform zeq supports
        a = array("L")
    return a


@dataclass(frozen=True)
class Chunk:
    """A byte range [start, end) of one input file; ``data`` holds its bytes
    when they were read already (standard input), else they are read from
    ``path``."""

    file_index: int
    path: str
    start: int
    end: int
    last: bool  # the last range of its file
    data: Optional[bytes] = field(default=None, repr=False, compare=False)


def _find(f, sep: bytes, pos: int, size: int) -> int:
    """Index of the first ``sep`` at or after ``pos``, or ``size``."""
    while pos < size:
        f.seek(pos)
        block = f.read(_SCAN)
        if not block:
            break
        i = block.find(sep)
        if i >= 0:
            return pos + i
        pos += len(block)
    return size


def plan_chunks(paths: Sequence[str], chunk_bytes: int, per_file: bool = False) -> List[Chunk]:
    """Cut the files into ranges of about ``chunk_bytes``.

    Line documents: every range but a file's last ends just after a ``\\n``.
    Whole-file documents: every range after a file's first begins with a space.
    """
    return [c for k, path in enumerate(paths) for c in _plan_file(k, path, chunk_bytes, per_file)]


def _plan_file(k: int, path: str, chunk_bytes: int, per_file: bool) -> Iterator[Chunk]:
    size = os.path.getsize(path)
    if size == 0:
        yield Chunk(k, path, 0, 0, True)
        return
    with open(path, "rb") as f:
        pos = 0
        while pos < size:
            target = pos + chunk_bytes
            if target >= size:
                end = size
            elif per_file:
                end = _find(f, b" ", target, size)
            else:
                end = _find(f, b"\n", target - 1, size)
                end = min(end + 1, size)
            yield Chunk(k, path, pos, end, end == size)
            pos = end


def stream_chunks(stream: BinaryIO, file_index: int, chunk_bytes: int,
                  per_file: bool = False, name: str = STDIN_NAME) -> Iterator[Chunk]:
    """Cut a stream into chunks as :func:`plan_chunks` cuts a file, reading
    ``chunk_bytes`` at a time as the chunks are asked for. A chunk is at
    least one line (or one run of text up to a space) long, so a line that
    outgrows ``chunk_bytes`` is held whole; the last chunk may be empty."""
    held: List[bytes] = []
    start = 0  # offset in the stream of the first held byte
    while True:
        block = stream.read(chunk_bytes)
        if not block:
            break
        # Lines end after their \n; whole-file text is cut in front of a space.
        cut = block.rfind(b" ") if per_file else block.rfind(b"\n") + 1
        if cut <= 0:
            held.append(block)
            continue
        held.append(block[:cut])
        data = b"".join(held)
        yield Chunk(file_index, name, start, start + len(data), False, data)
        start += len(data)
        held = [block[cut:]]
    data = b"".join(held)
    yield Chunk(file_index, name, start, start + len(data), True, data)


# --- worker side -------------------------------------------------------------

def _load(vocab_path: str):
    from . import Encoder

    return Encoder.from_file(vocab_path)


def _read_text(chunk: Chunk, errors: str) -> str:
    data = chunk.data
    if data is None:
        with open(chunk.path, "rb") as f:
            f.seek(chunk.start)
            data = f.read(chunk.end - chunk.start)
    try:
        return data.decode("utf-8", errors)
    except UnicodeDecodeError as e:
        raise CorpusError(f"{chunk.path}: not UTF-8 at byte {chunk.start + e.start} "
                          "(use --errors replace to replace such bytes)") from None


def encode_chunk(enc, chunk: Chunk, per_file: bool, eos: Optional[int],
                 errors: str = "strict", threads: int = 1) -> Tuple[memoryview, Optional[memoryview], int]:
    """Encode one range: (its ids as a uint32 memoryview, the offsets of its
    documents in them as an int64 memoryview, bytes read). For whole-file
    documents there are no offsets, and ``eos`` follows the file's last range."""
    text = _read_text(chunk, errors)
    if per_file:
        ids, _ = enc.encode_flat([text], add_eos=eos is not None and chunk.last, threads=1)
        return ids, None, chunk.end - chunk.start
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()  # the range ends with a line break (or is empty)
    ids, offsets = enc.encode_flat(lines, add_eos=eos is not None, threads=threads)
    return ids, offsets, chunk.end - chunk.start


@dataclass
class Summary:
    files: int
    documents: int
    ids: int
    bytes: int
    seconds: float
    threads: int

    @property
    def mb_per_s(self) -> float:
        return self.bytes / 1e6 / self.seconds if self.seconds > 0 else 0.0


def tokenize_corpus(paths: Sequence[Union[str, os.PathLike]], output: Union[str, os.PathLike],
                    vocab_path: str, *, threads: Optional[int] = None, per_file: bool = False,
                    eos: bool = False, errors: str = "strict",
                    chunk_bytes: Optional[int] = None, progress: Optional[bool] = None,
                    stdin: Optional[BinaryIO] = None) -> Summary:
    """Tokenize ``paths`` into ``output + ".ids"`` and ``output + ".idx"``.

    A path ``"-"`` reads ``stdin`` (default: the process's standard input).
    ``threads``: threads that encode (default: every CPU this process may
    use). ``progress``: draw a progress bar on stderr (default: when stderr
    is a terminal).

    An input that is missing, a directory or unreadable raises the
    ``OSError`` subclass that says so; a vocabulary that cannot be loaded
    raises as :meth:`zeqtools.Encoder.from_file` does. Existing output
    files are replaced.
    """
    t0 = time.perf_counter()
    files = [os.fspath(p) for p in paths]
    _check_inputs(files)
    if errors not in ("strict", "replace"):
        raise CorpusError(f"errors must be 'strict' or 'replace', not {errors!r}")
    enc = _load(vocab_path)
    eos_id: Optional[int] = None
    if eos:
        eos_id = enc.eos_id
        if eos_id >= enc.vocab_size:
            raise CorpusError(f"the vocabulary has no end-of-sequence piece "
                              f"(eos_id {eos_id} names no record)")
    if threads is None:
        threads = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    if threads < 1:
        raise CorpusError("the number of threads must be at least 1")
    known = sum(os.path.getsize(p) for p in files if p != STDIN)
    # Ranges large enough for the threads to share, and enough of them for
    # a lively progress bar on a small input.
    file_chunk = chunk_bytes or max(MIN_CHUNK_BYTES, min(DEFAULT_CHUNK_BYTES, known // 16 + 1))
    stream_chunk = chunk_bytes or STREAM_CHUNK_BYTES
    chunks = _input_chunks(files, file_chunk, stream_chunk, per_file, stdin)

    out = os.fspath(output)
    ids_path, idx_path = out + IDS_SUFFIX, out + INDEX_SUFFIX
    tmp_ids, tmp_idx = ids_path + ".part", idx_path + ".part"
    results = (encode_chunk(enc, c, per_file, eos_id, errors, threads) + (c.last,) for c in chunks)
    bar = Progress(None if STDIN in files else known, enabled=progress)
    try:
        with open(tmp_ids, "wb") as f_ids, open(tmp_idx, "wb") as f_idx:
            _write_u64(f_idx, array("Q", [0]))
            documents, n_ids, n_bytes = _write_results(results, f_ids, f_idx, bar)
        os.replace(tmp_ids, ids_path)
        os.replace(tmp_idx, idx_path)
    except BaseException:
        bar.abandon()
        for p in (tmp_ids, tmp_idx):
            try:
                os.unlink(p)
            except OSError:
                pass
        raise
    bar.close()
    return Summary(len(files), documents, n_ids, n_bytes, time.perf_counter() - t0, threads)


def _write_results(results: Iterable[Tuple[memoryview, Optional[memoryview], int, bool]],
                   f_ids: BinaryIO, f_idx: BinaryIO, bar: Progress) -> Tuple[int, int, int]:
    """Write each range's ids, and the offsets of the documents that end in
    it, as they come; returns (documents, ids, bytes read)."""
    documents = n_ids = n_bytes = 0
    for ids, offsets, nbytes, last in results:
        if _LITTLE:
            f_ids.write(ids)
        else:  # pragma: no cover
            swapped = array("I", ids)
            swapped.byteswap()
            f_ids.write(swapped)
        if offsets is None:  # whole-file documents
            ends = array("Q", [n_ids + len(ids)] if last else [])
        else:
            ends = array("Q", (n_ids + o for o in offsets[1:]))
        n_ids += len(ids)
        _write_u64(f_idx, ends)
        documents += len(ends)
        n_bytes += nbytes
        bar.update(nbytes)
    return documents, n_ids, n_bytes


def _write_u64(f: BinaryIO, values: array) -> None:
    if not _LITTLE:  # pragma: no cover
        values = array("Q", values)
        values.byteswap()
    values.tofile(f)


def _check_inputs(files: Sequence[str]) -> None:
    if not files:
        raise CorpusError("no input files")
    if files.count(STDIN) > 1:
        raise CorpusError("standard input (-) can be read only once")
    for path in files:
        if path != STDIN:
            _check_regular_file(path)


_NOT_REGULAR = ((stat.S_ISFIFO, "a pipe"), (stat.S_ISCHR, "a character device"),
                (stat.S_ISSOCK, "a socket"), (stat.S_ISBLK, "a block device"))


def _check_regular_file(path: str) -> None:
    """Refuse what the byte-range planner cannot read: a path that does not
    exist or cannot be reached raises as ``os.stat`` does, a directory
    ``IsADirectoryError``, and anything else that is not a regular file
    :class:`CorpusError` (a pipe or a terminal can be read as ``-``)."""
    mode = os.stat(path).st_mode
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    if not stat.S_ISREG(mode):
        kind = next((name for test, name in _NOT_REGULAR if test(mode)), "not a file")
        hint = "; give - to read standard input" if stat.S_ISFIFO(mode) or stat.S_ISCHR(mode) else ""
        raise CorpusError(f"not a regular file: {path} ({kind}){hint}")


def _input_chunks(files: Sequence[str], file_chunk: int, stream_chunk: int, per_file: bool,
                  stdin: Optional[BinaryIO]) -> Iterator[Chunk]:
    for k, path in enumerate(files):
        if path == STDIN:
            if stdin is None:
                if sys.stdin is None:
                    raise CorpusError("standard input is closed")
                stdin = sys.stdin.buffer
            yield from stream_chunks(stdin, k, stream_chunk, per_file)
        else:
            yield from _plan_file(k, path, file_chunk, per_file)


# --- reading the output ------------------------------------------------------

def read_index(prefix: Union[str, os.PathLike]) -> array:
    """The document offsets of a tokenized corpus (``prefix + ".idx"``)."""
    a = array("Q")
    with open(os.fspath(prefix) + INDEX_SUFFIX, "rb") as f:
        a.frombytes(f.read())
    if not _LITTLE:  # pragma: no cover
        a.byteswap()
    return a


def iter_documents(prefix: Union[str, os.PathLike]) -> Iterator[List[int]]:
    """Yield the ids of every document of a tokenized corpus, in order."""
    offsets = read_index(prefix)
    path = os.fspath(prefix) + IDS_SUFFIX
    if os.path.getsize(path) == 0:
        for _ in range(len(offsets) - 1):
            yield []
        return
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        if _LITTLE and array("I").itemsize == 4:
            view = memoryview(m).cast("I")
            try:
                for a, b in zip(offsets, offsets[1:]):
                    yield view[a:b].tolist()
            finally:
                view.release()
        else:  # pragma: no cover
            ids = _u32_array()
            ids.frombytes(m[:])
            if not _LITTLE:
                ids.byteswap()
            for a, b in zip(offsets, offsets[1:]):
                yield ids[a:b].tolist()


__all__ = ["IDS_SUFFIX", "INDEX_SUFFIX", "STDIN", "Chunk", "Summary", "plan_chunks",
           "stream_chunks", "encode_chunk", "tokenize_corpus", "read_index", "iter_documents"]
