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
are exactly ``Tokenizer.encode`` of its text.

The work is cut into byte ranges of the input files, ending on line
boundaries (or, for whole-file documents, in front of a space, where zeq's
word splitting cuts anyway, so that the pieces of a document concatenate to
its ids). Worker processes each load the vocabulary themselves and read their
own ranges; the parent writes the results in input order.
"""

from __future__ import annotations

import mmap
import multiprocessing
import os
import sys
import time
from array import array
from dataclasses import dataclass
from typing import Iterator, List, Optional, Sequence, Tuple, Union

from .errors import CorpusError
from .progress import Progress

IDS_SUFFIX = ".ids"
INDEX_SUFFIX = ".idx"
DEFAULT_CHUNK_BYTES = 4 << 20
MIN_CHUNK_BYTES = 64 << 10
_SCAN = 64 << 10

_LITTLE = sys.byteorder == "little"


def _u32_array() -> array:
    a = array("I")
    if a.itemsize != 4:  # pragma: no cover - every platform zeq supports
        a = array("L")
    return a


@dataclass(frozen=True)
class Chunk:
    """A byte range [start, end) of one input file."""

    file_index: int
    path: str
    start: int
    end: int
    last: bool  # the last range of its file


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
    chunks: List[Chunk] = []
    for k, path in enumerate(paths):
        size = os.path.getsize(path)
        if size == 0:
            chunks.append(Chunk(k, path, 0, 0, True))
            continue
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
                chunks.append(Chunk(k, path, pos, end, end == size))
                pos = end
    return chunks


# --- worker side -------------------------------------------------------------

_worker_tok = None


def _init_worker(vocab_path: str) -> None:
    global _worker_tok
    import signal

    import zeq

    # Ctrl-C is the parent's to handle: it stops the pool and cleans up.
    signal.signal(signal.SIGINT, signal.SIG_IGN)

    _worker_tok = zeq.Tokenizer.from_file(vocab_path)


def _read_text(chunk: Chunk, errors: str) -> str:
    with open(chunk.path, "rb") as f:
        f.seek(chunk.start)
        data = f.read(chunk.end - chunk.start)
    try:
        return data.decode("utf-8", errors)
    except UnicodeDecodeError as e:
        raise CorpusError(f"{chunk.path}: not UTF-8 at byte {chunk.start + e.start} "
                          "(use --errors replace to replace such bytes)") from None


def encode_chunk(tok, chunk: Chunk, per_file: bool, eos: Optional[int],
                 errors: str = "strict") -> Tuple[bytes, bytes, int]:
    """Encode one range: (ids as uint32 LE bytes, document lengths as uint64
    LE bytes, bytes read). For whole-file documents the lengths are empty."""
    text = _read_text(chunk, errors)
    ids = _u32_array()
    lengths = array("Q")
    encode = tok.encode
    if per_file:
        ids.extend(encode(text))
        if eos is not None and chunk.last:
            ids.append(eos)
    else:
        lines = text.split("\n")
        if lines[-1] == "":
            lines.pop()  # the range ends with a line break (or is empty)
        extend = ids.extend
        if eos is None:
            for line in lines:
                e = encode(line)
                extend(e)
                lengths.append(len(e))
        else:
            for line in lines:
                e = encode(line)
                e.append(eos)
                extend(e)
                lengths.append(len(e))
    if not _LITTLE:  # pragma: no cover
        ids.byteswap()
        lengths.byteswap()
    return ids.tobytes(), lengths.tobytes(), chunk.end - chunk.start


def _work(task: Tuple[Chunk, bool, Optional[int], str]) -> Tuple[bytes, bytes, int]:
    chunk, per_file, eos, errors = task
    return encode_chunk(_worker_tok, chunk, per_file, eos, errors)


# --- parent side -------------------------------------------------------------

def _default_start_method() -> str:
    return "fork" if "fork" in multiprocessing.get_all_start_methods() else "spawn"


@dataclass
class Summary:
    files: int
    documents: int
    ids: int
    bytes: int
    seconds: float
    workers: int

    @property
    def mb_per_s(self) -> float:
        return self.bytes / 1e6 / self.seconds if self.seconds > 0 else 0.0


def tokenize_corpus(paths: Sequence[Union[str, os.PathLike]], output: Union[str, os.PathLike],
                    vocab_path: str, *, workers: Optional[int] = None, per_file: bool = False,
                    eos: bool = False, errors: str = "strict",
                    chunk_bytes: Optional[int] = None, progress: Optional[bool] = None,
                    start_method: Optional[str] = None) -> Summary:
    """Tokenize ``paths`` into ``output + ".ids"`` and ``output + ".idx"``.

    ``workers``: number of processes (default: the number of CPUs); with 1 the
    work is done in this process. ``progress``: draw a progress bar on stderr
    (default: when stderr is a terminal). ``start_method``: the
    multiprocessing start method (default ``fork`` where the platform has it,
    as it starts workers fastest, else ``spawn``); whichever it is, every
    worker loads the vocabulary from ``vocab_path`` itself.
    """
    import zeq

    t0 = time.perf_counter()
    files = [os.fspath(p) for p in paths]
    if not files:
        raise CorpusError("no input files")
    for p in files:
        if not os.path.isfile(p):
            raise CorpusError(f"{p}: no such file")
    if errors not in ("strict", "replace"):
        raise CorpusError(f"errors must be 'strict' or 'replace', not {errors!r}")
    try:
        # Loaded here too, so that a bad vocabulary fails once, before any
        # worker starts (a worker whose initializer fails is restarted forever).
        tok = zeq.Tokenizer.from_file(vocab_path)
    except OSError as e:
        raise CorpusError(f"{vocab_path}: {e}") from None
    eos_id: Optional[int] = None
    if eos:
        eos_id = tok.eos_id
        if eos_id >= tok.vocab_size:
            raise CorpusError(f"the vocabulary has no end-of-sequence piece "
                              f"(eos_id {eos_id} names no record)")
    if workers is None:
        workers = os.cpu_count() or 1
    if workers < 1:
        raise CorpusError("the number of workers must be at least 1")
    total = sum(os.path.getsize(p) for p in files)
    if chunk_bytes is None:
        # Enough ranges for an even spread and a lively progress bar.
        chunk_bytes = max(MIN_CHUNK_BYTES, min(DEFAULT_CHUNK_BYTES, total // (workers * 16) + 1))
    chunks = plan_chunks(files, chunk_bytes, per_file)
    tasks = [(c, per_file, eos_id, errors) for c in chunks]
    workers = min(workers, len(chunks))

    out = os.fspath(output)
    ids_path, idx_path = out + IDS_SUFFIX, out + INDEX_SUFFIX
    tmp_ids, tmp_idx = ids_path + ".part", idx_path + ".part"
    offsets = array("Q", [0])
    n_ids = 0
    bar = Progress(total, enabled=progress)
    try:
        with open(tmp_ids, "wb") as f_ids:
            if workers == 1:
                results: Iterator[Tuple[bytes, bytes, int]] = (
                    encode_chunk(tok, c, per_file, eos_id, errors) for c in chunks)
                pool = None
            else:
                ctx = multiprocessing.get_context(start_method or _default_start_method())
                pool = ctx.Pool(workers, initializer=_init_worker, initargs=(vocab_path,))
                results = pool.imap(_work, tasks, chunksize=1)
            try:
                for chunk, (ids, lengths, nbytes) in zip(chunks, results):
                    f_ids.write(ids)
                    if per_file:
                        n_ids += len(ids) // 4
                        if chunk.last:
                            offsets.append(n_ids)
                    else:
                        lens = array("Q")
                        lens.frombytes(lengths)
                        if not _LITTLE:  # pragma: no cover
                            lens.byteswap()
                        for n in lens:
                            n_ids += n
                            offsets.append(n_ids)
                    bar.update(nbytes)
            finally:
                if pool is not None:
                    pool.terminate()
                    pool.join()
        if not _LITTLE:  # pragma: no cover
            offsets.byteswap()
        with open(tmp_idx, "wb") as f_idx:
            offsets.tofile(f_idx)
        os.replace(tmp_ids, ids_path)
        os.replace(tmp_idx, idx_path)
    except BaseException:
        bar.enabled = False
        for p in (tmp_ids, tmp_idx):
            try:
                os.unlink(p)
            except OSError:
                pass
        raise
    bar.close()
    return Summary(len(files), len(offsets) - 1, n_ids, total,
                   time.perf_counter() - t0, workers)


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


__all__ = ["IDS_SUFFIX", "INDEX_SUFFIX", "Chunk", "Summary", "plan_chunks",
           "encode_chunk", "tokenize_corpus", "read_index", "iter_documents"]
