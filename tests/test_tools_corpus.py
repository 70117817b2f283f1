"""tokenize-corpus: byte-range planning, output equal to encode document by
document, on one thread or several, standard input, the index format,
failures, stop signals, the progress bar."""

import io
import os
import pty
import signal
import struct
import subprocess
import sys
import time
import tracemalloc

import pytest

import zeq
from conftest import shared_path
from zeqtools import sample_vocab_path
from zeqtools.corpus import iter_documents, plan_chunks, read_index, tokenize_corpus
from zeqtools.errors import CorpusError
from zeqtools.progress import Progress

VOCAB = sample_vocab_path()

# Lines that exercise the cuts: empty lines, runs of spaces, a leading space,
# tabs, a carriage return, characters of 2-4 bytes (byte fallback too).
TEXT = ("Hello world\n\n  two leading spaces\nend with space \n\ttab\tand\r\n"
        "déjà vu — 𝔘𝔫𝔦𝔠𝔬𝔡𝔢 ✓\n" + "a rather longer line of ordinary words " * 7 + "\n") * 40


@pytest.fixture(scope="module")
def tok():
    return zeq.Tokenizer.from_file(VOCAB)


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_bytes(text.encode("utf-8") if isinstance(text, str) else text)
    return str(path)


def lines_of(text):
    lines = text.split("\n")
    return lines[:-1] if lines[-1] == "" else lines


@pytest.mark.parametrize("per_file", [False, True])
@pytest.mark.parametrize("chunk", [1, 7, 100, 1 << 20])
def test_chunks_cover_the_files_and_end_where_documents_may_be_cut(tmp_path, per_file, chunk):
    paths = [write(tmp_path, "a.txt", TEXT), write(tmp_path, "b.txt", ""),
             write(tmp_path, "c.txt", "no newline at the end")]
    chunks = plan_chunks(paths, chunk, per_file)
    for k, path in enumerate(paths):
        data = open(path, "rb").read()
        mine = [c for c in chunks if c.file_index == k]
        assert mine[0].start == 0 and mine[-1].end == len(data) and mine[-1].last
        assert all(a.end == b.start for a, b in zip(mine, mine[1:]))
        assert not any(c.last for c in mine[:-1])
        for c in mine[1:]:
            if per_file:
                assert data[c.start:c.start + 1] == b" "
            else:
                assert data[c.start - 1:c.start] == b"\n"


@pytest.mark.parametrize("threads, chunk", [(1, None), (1, 7), (2, 50)])
@pytest.mark.parametrize("per_file", [False, True])
def test_standard_input_among_files_equals_encode(tmp_path, tok, threads, chunk, per_file):
    texts = [TEXT[:900], TEXT, "x\ny"]
    paths = [write(tmp_path, "a.txt", texts[0]), "-", write(tmp_path, "c.txt", texts[2])]
    s = tokenize_corpus(paths, tmp_path / "o", VOCAB, threads=threads, chunk_bytes=chunk,
                        per_file=per_file, eos=True, progress=False,
                        stdin=io.BytesIO(texts[1].encode()))
    docs = texts if per_file else [line for t in texts for line in lines_of(t)]
    assert list(iter_documents(tmp_path / "o")) == [tok.encode(d) + [tok.eos_id] for d in docs]
    assert (s.files, s.bytes) == (3, sum(len(t.encode()) for t in texts))
    with pytest.raises(CorpusError, match="^<stdin>: not UTF-8 at byte 2006 "):
        tokenize_corpus(["-"], tmp_path / "p", VOCAB, threads=threads, chunk_bytes=chunk,
                        per_file=per_file, stdin=io.BytesIO(b"ab\n" * 668 + b"c \xff"))


class Lines:
    """`size` bytes of lines of 44 bytes, made as they are read."""

    def __init__(self, size):
        self.size, self.sent = size, 0

    def read(self, n):
        n, start = min(n, self.size - self.sent), self.sent % 44
        self.sent += n
        return (b"the quick brown fox jumps over the lazy dog\n" * (n // 44 + 2))[start:start + n]


def test_standard_input_takes_bounded_memory(tmp_path):
    tracemalloc.start()
    try:
        s = tokenize_corpus(["-"], tmp_path / "o", VOCAB, threads=1, chunk_bytes=64 << 10,
                            progress=False, stdin=Lines(16 << 20))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert s.bytes == 16 << 20 and s.documents == (16 << 20) // 44 + 1
    assert peak < 4 << 20  # the input alone is 16 MiB, its ids 26 MB


@pytest.mark.parametrize("threads, chunk", [(1, None), (1, 50), (2, 50), (3, 333)])
@pytest.mark.parametrize("eos", [False, True])
def test_line_documents_equal_encode(tmp_path, tok, threads, chunk, eos):
    texts = [TEXT, "", "last line without newline\nsecond", "\n\n"]
    paths = [write(tmp_path, f"{i}.txt", t) for i, t in enumerate(texts)]
    out = tmp_path / "out"
    s = tokenize_corpus(paths, out, VOCAB, threads=threads, chunk_bytes=chunk, eos=eos,
                        progress=False)
    expected = [tok.encode(line) + ([tok.eos_id] if eos else [])
                for t in texts for line in lines_of(t)]
    assert list(iter_documents(out)) == expected
    assert s.documents == len(expected) and s.ids == sum(map(len, expected))
    assert os.path.getsize(str(out) + ".ids") == 4 * s.ids
    assert sorted(os.listdir(tmp_path)) == sorted([f"{i}.txt" for i in range(4)]
                                                  + ["out.ids", "out.idx"])


@pytest.mark.parametrize("threads, chunk", [(1, 10), (2, 10), (2, None)])
def test_file_documents_equal_encode_of_the_whole_file(tmp_path, tok, threads, chunk):
    texts = [TEXT, "", " starts with a space", "中文没有空格" * 50]
    paths = [write(tmp_path, f"{i}.txt", t) for i, t in enumerate(texts)]
    tokenize_corpus(paths, tmp_path / "out", VOCAB, threads=threads, chunk_bytes=chunk,
                    per_file=True, eos=True, progress=False)
    assert list(iter_documents(tmp_path / "out")) == [tok.encode(t) + [tok.eos_id]
                                                      for t in texts]


def test_output_format_is_little_endian_uint32_ids_and_uint64_offsets(tmp_path, tok):
    path = write(tmp_path, "a.txt", "Hello world\n\nzeq\n")
    tokenize_corpus([path], tmp_path / "o", VOCAB, threads=1, progress=False)
    ids = (tmp_path / "o.ids").read_bytes()
    idx = (tmp_path / "o.idx").read_bytes()
    flat = tok.encode("Hello world") + tok.encode("zeq")
    assert ids == struct.pack(f"<{len(flat)}I", *flat)
    a, b = len(tok.encode("Hello world")), len(flat)
    assert idx == struct.pack("<4Q", 0, a, a, b)
    assert list(read_index(tmp_path / "o")) == [0, a, a, b]


def test_the_shared_corpus_on_two_threads_equals_encode_line_by_line(tmp_path):
    corpus = shared_path("corpus", "multi.txt")
    vocab = str(shared_path("vocab", "multi32k.vocab.bin"))
    tok = zeq.Tokenizer.from_file(vocab)
    s = tokenize_corpus([str(corpus)], tmp_path / "m", vocab, threads=2, progress=False)
    lines = lines_of(corpus.read_text(encoding="utf-8"))
    assert s.documents == len(lines) and s.threads == 2
    for line, doc in zip(lines, iter_documents(tmp_path / "m")):
        assert doc == tok.encode(line)


@pytest.mark.parametrize("threads", [1, 2])
def test_bad_utf8_fails_cleanly_and_leaves_no_output(tmp_path, threads):
    good = write(tmp_path, "good.txt", "fine\n" * 1000)
    bad = write(tmp_path, "bad.txt", b"ok\n" * 500 + b"caf\xe9\n")
    with pytest.raises(CorpusError, match=r"bad.txt: not UTF-8 at byte 1503"):
        tokenize_corpus([good, bad], tmp_path / "o", VOCAB, threads=threads, chunk_bytes=64,
                        progress=False)
    assert sorted(os.listdir(tmp_path)) == ["bad.txt", "good.txt"]
    tokenize_corpus([bad], tmp_path / "o", VOCAB, threads=threads, errors="replace",
                    progress=False)
    assert list(iter_documents(tmp_path / "o"))[-1] == zeq.Tokenizer.from_file(
        VOCAB).encode("caf\ufffd")


def test_refusals(tmp_path):
    path = write(tmp_path, "a.txt", "x\n")
    with pytest.raises(FileNotFoundError):
        tokenize_corpus([str(tmp_path / "missing")], tmp_path / "o", VOCAB)
    with pytest.raises(CorpusError, match="at least 1"):
        tokenize_corpus([path], tmp_path / "o", VOCAB, threads=0)
    from zeqtools.vocabfile import write_vocab
    no_eos = str(tmp_path / "v.vocab.bin")
    write_vocab(no_eos, [("a", 0, 0.0)], eos_id=0xFFFFFFFF)
    with pytest.raises(CorpusError, match="no end-of-sequence piece"):
        tokenize_corpus([path], tmp_path / "o", no_eos, eos=True)


# --- stop signals ------------------------------------------------------------


def _until(condition, what):
    deadline = time.monotonic() + 60
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.02)


def _start_on_a_pipe(tmp_path):
    """tokenize-corpus on two threads, at work on a pipe that stays open."""
    p = subprocess.Popen([sys.executable, "-m", "zeqtools", "tokenize-corpus", "-", "-o",
                          str(tmp_path / "o"), "-j", "2"], stdin=subprocess.PIPE,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
    p.stdin.write(b"Hello world\n" * 300_000)  # 3.6 MB: more than the first blocks
    p.stdin.flush()
    _until(lambda: os.path.exists(tmp_path / "o.ids.part"), "the run did not start")
    return p


@pytest.mark.parametrize("to, signum, status, message", [
    ("group", signal.SIGTERM, 143, "zeq: stopped by SIGTERM"),  # as timeout and job schedulers do
    ("group", signal.SIGHUP, 129, "zeq: stopped by SIGHUP"),  # as a closing terminal does
    ("group", signal.SIGINT, 130, "zeq: interrupted"),  # as Ctrl-C does
    ("process", signal.SIGTERM, 143, "zeq: stopped by SIGTERM"),
])
def test_stop_signals_end_the_run_cleanly(tmp_path, to, signum, status, message):
    p = _start_on_a_pipe(tmp_path)
    os.kill(-p.pid if to == "group" else p.pid, signum)
    try:
        p.stdin.close()
    except BrokenPipeError:
        pass
    err = p.stderr.read().decode()
    assert p.wait(timeout=60) == status
    assert err == message + "\n", err  # one line, no traceback
    assert os.listdir(tmp_path) == []  # no output, no .part files


# --- the progress bar --------------------------------------------------------


class FakeTTY:
    def __init__(self, tty):
        self.tty, self.text = tty, ""

    def isatty(self):
        return self.tty

    def write(self, s):
        self.text += s

    def flush(self):
        pass


def test_progress_bar_shows_bytes_rate_and_time_left_on_a_terminal():
    stream = FakeTTY(True)
    bar = Progress(10_000_000, stream=stream, interval=0)
    bar.start -= 2.0  # two seconds have passed
    bar.update(4_000_000)
    assert "4.0/10.0 MB" in stream.text and " 40%" in stream.text
    assert "2.0 MB/s" in stream.text and "ETA 0:03" in stream.text
    bar.start -= 3.0  # three more
    bar.update(6_000_000)
    bar.close()
    assert stream.text.endswith("100%  2.0 MB/s  done in 0:05\n")


def test_progress_bar_of_a_stream_and_its_line_ended_before_an_error():
    stream = FakeTTY(True)
    bar = Progress(None, stream=stream, interval=0)
    bar.start -= 2.0
    bar.update(3_000_000)
    assert stream.text == "\r3.0 MB  1.5 MB/s  0:02"
    bar.abandon()
    assert stream.text.endswith("0:02\n") and not bar.enabled
    untouched = FakeTTY(True)
    Progress(10, stream=untouched).abandon()  # nothing drawn, no line to end
    assert untouched.text == ""


def test_progress_bar_is_silent_when_not_a_terminal():
    stream = FakeTTY(False)
    with Progress(100, stream=stream, interval=0) as bar:
        bar.update(100)
    assert stream.text == ""


def _run_cli(args, stderr_tty):
    cmd = [sys.executable, "-m", "zeqtools", "tokenize-corpus", *args]
    if not stderr_tty:
        return subprocess.run(cmd, capture_output=True, text=True, timeout=120).stderr
    master, slave = pty.openpty()
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=slave)
    os.close(slave)
    out = b""
    while True:
        try:
            data = os.read(master, 4096)
        except OSError:
            break
        if not data:
            break
        out += data
    os.close(master)
    p.wait(timeout=120)
    return out.decode()


@pytest.mark.parametrize("tty", [False, True])
def test_command_draws_the_bar_only_on_a_terminal(tmp_path, tty):
    path = write(tmp_path, "a.txt", TEXT * 10)
    err = _run_cli([path, "-o", str(tmp_path / "o"), "-j", "2"], tty)
    assert ("MB/s" in err and "\r[" in err and "100%" in err) == tty
    assert "2 threads" in err  # the summary line is always there
    bad = write(tmp_path, "bad.txt", (TEXT * 10).encode() + b"\xff")
    err = _run_cli([bad, "-o", str(tmp_path / "p"), "-j", "1"], tty).replace("\r\n", "\n")
    assert ("MB/s" in err) == tty
    assert [line for line in err.split("\n") if "zeq: error:" in line][0].startswith("zeq")
