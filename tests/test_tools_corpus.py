"""tokenize-corpus: byte-range planning, output equal to encode document by
document, worker processes, standard input, the index format, failures,
stop signals, the progress bar."""

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
from zeqtools.corpus import iter_documents, plan_chunks, read_index, stream_chunks, tokenize_corpus
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


@pytest.mark.parametrize("per_file", [False, True])
@pytest.mark.parametrize("chunk", [1, 7, 100, 1 << 20])
def test_a_stream_is_cut_as_a_file_is_while_it_is_read(per_file, chunk):
    data = TEXT.encode()
    chunks = list(stream_chunks(io.BytesIO(data), 3, chunk, per_file))
    assert b"".join(c.data for c in chunks) == data and chunks[-1].last
    assert [c.start for c in chunks] == [0] + [c.end for c in chunks[:-1]]
    assert not any(c.last for c in chunks[:-1]) and {c.file_index for c in chunks} == {3}
    for c in chunks[:-1]:
        assert c.data.endswith(b"\n") if not per_file else data[c.end:c.end + 1] == b" "


@pytest.mark.parametrize("workers, chunk", [(1, None), (2, 50)])
@pytest.mark.parametrize("per_file", [False, True])
def test_standard_input_among_files_equals_encode(tmp_path, tok, workers, chunk, per_file):
    texts = [TEXT[:900], TEXT, "x\ny"]
    paths = [write(tmp_path, "a.txt", texts[0]), "-", write(tmp_path, "c.txt", texts[2])]
    s = tokenize_corpus(paths, tmp_path / "o", VOCAB, workers=workers, chunk_bytes=chunk,
                        per_file=per_file, eos=True, progress=False,
                        stdin=io.BytesIO(texts[1].encode()))
    docs = texts if per_file else [line for t in texts for line in lines_of(t)]
    assert list(iter_documents(tmp_path / "o")) == [tok.encode(d) + [tok.eos_id] for d in docs]
    assert (s.files, s.bytes) == (3, sum(len(t.encode()) for t in texts))


class Lines(io.RawIOBase):
    """`size` bytes of lines, made as they are read."""

    def __init__(self, size):
        self.left, self.line = size, b"the quick brown fox jumps over the lazy dog\n"

    def readable(self):
        return True

    def readinto(self, buffer):
        n = min(len(buffer), self.left) // len(self.line) * len(self.line) or min(len(buffer), self.left)
        buffer[:n] = (self.line * (n // len(self.line) + 1))[:n]
        self.left -= n
        return n


def test_standard_input_takes_bounded_memory(tmp_path):
    tracemalloc.start()
    try:
        s = tokenize_corpus(["-"], tmp_path / "o", VOCAB, workers=1, chunk_bytes=64 << 10,
                            progress=False, stdin=io.BufferedReader(Lines(16 << 20)))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert s.bytes == 16 << 20 and s.documents == (16 << 20) // 44 + 1
    assert peak < 4 << 20  # the input alone is 16 MiB, its ids 26 MB


@pytest.mark.parametrize("workers, chunk", [(1, None), (1, 50), (2, 50), (3, 333)])
@pytest.mark.parametrize("eos", [False, True])
def test_line_documents_equal_encode(tmp_path, tok, workers, chunk, eos):
    texts = [TEXT, "", "last line without newline\nsecond", "\n\n"]
    paths = [write(tmp_path, f"{i}.txt", t) for i, t in enumerate(texts)]
    out = tmp_path / "out"
    s = tokenize_corpus(paths, out, VOCAB, workers=workers, chunk_bytes=chunk, eos=eos,
                        progress=False)
    expected = [tok.encode(line) + ([tok.eos_id] if eos else [])
                for t in texts for line in lines_of(t)]
    assert list(iter_documents(out)) == expected
    assert s.documents == len(expected) and s.ids == sum(map(len, expected))
    assert os.path.getsize(str(out) + ".ids") == 4 * s.ids
    assert sorted(os.listdir(tmp_path)) == sorted([f"{i}.txt" for i in range(4)]
                                                  + ["out.ids", "out.idx"])


@pytest.mark.parametrize("workers, chunk", [(1, 10), (2, 10), (2, None)])
def test_file_documents_equal_encode_of_the_whole_file(tmp_path, tok, workers, chunk):
    texts = [TEXT, "", " starts with a space", "中文没有空格" * 50]
    paths = [write(tmp_path, f"{i}.txt", t) for i, t in enumerate(texts)]
    tokenize_corpus(paths, tmp_path / "out", VOCAB, workers=workers, chunk_bytes=chunk,
                    per_file=True, eos=True, progress=False)
    assert list(iter_documents(tmp_path / "out")) == [tok.encode(t) + [tok.eos_id]
                                                      for t in texts]


def test_output_format_is_little_endian_uint32_ids_and_uint64_offsets(tmp_path, tok):
    path = write(tmp_path, "a.txt", "Hello world\n\nzeq\n")
    tokenize_corpus([path], tmp_path / "o", VOCAB, workers=1, progress=False)
    ids = (tmp_path / "o.ids").read_bytes()
    idx = (tmp_path / "o.idx").read_bytes()
    flat = tok.encode("Hello world") + tok.encode("zeq")
    assert ids == struct.pack(f"<{len(flat)}I", *flat)
    a, b = len(tok.encode("Hello world")), len(flat)
    assert idx == struct.pack("<4Q", 0, a, a, b)
    assert list(read_index(tmp_path / "o")) == [0, a, a, b]


def test_the_shared_corpus_with_two_workers_equals_encode_line_by_line(tmp_path):
    corpus = shared_path("corpus", "multi.txt")
    vocab = str(shared_path("vocab", "multi32k.vocab.bin"))
    tok = zeq.Tokenizer.from_file(vocab)
    s = tokenize_corpus([str(corpus)], tmp_path / "m", vocab, workers=2, progress=False)
    lines = lines_of(corpus.read_text(encoding="utf-8"))
    assert s.documents == len(lines) and s.workers == 2
    for line, doc in zip(lines, iter_documents(tmp_path / "m")):
        assert doc == tok.encode(line)


@pytest.mark.parametrize("workers", [1, 2])
def test_bad_utf8_fails_cleanly_and_leaves_no_output(tmp_path, workers):
    good = write(tmp_path, "good.txt", "fine\n" * 1000)
    bad = write(tmp_path, "bad.txt", b"ok\n" * 500 + b"caf\xe9\n")
    with pytest.raises(CorpusError, match=r"bad.txt: not UTF-8 at byte 1503"):
        tokenize_corpus([good, bad], tmp_path / "o", VOCAB, workers=workers, chunk_bytes=64,
                        progress=False)
    assert sorted(os.listdir(tmp_path)) == ["bad.txt", "good.txt"]
    tokenize_corpus([bad], tmp_path / "o", VOCAB, workers=workers, errors="replace",
                    progress=False)
    assert list(iter_documents(tmp_path / "o"))[-1] == zeq.Tokenizer.from_file(
        VOCAB).encode("caf\ufffd")


def test_refusals(tmp_path):
    path = write(tmp_path, "a.txt", "x\n")
    with pytest.raises(FileNotFoundError):
        tokenize_corpus([str(tmp_path / "missing")], tmp_path / "o", VOCAB)
    with pytest.raises(CorpusError, match="at least 1"):
        tokenize_corpus([path], tmp_path / "o", VOCAB, workers=0)
    from zeqtools.vocabfile import write_vocab
    no_eos = str(tmp_path / "v.vocab.bin")
    write_vocab(no_eos, [("a", 0, 0.0)], eos_id=0xFFFFFFFF)
    with pytest.raises(CorpusError, match="no end-of-sequence piece"):
        tokenize_corpus([path], tmp_path / "o", no_eos, eos=True)


# --- stop signals and dead workers -------------------------------------------


def _children(pid):
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as f:
                if entry.isdigit() and int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                    found.append(int(entry))
        except (OSError, ValueError, IndexError):
            pass
    return found


def _until(condition, what):
    deadline = time.monotonic() + 60
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.02)


def _start_on_a_pipe(tmp_path):
    """tokenize-corpus with two workers at work on a pipe that stays open."""
    p = subprocess.Popen([sys.executable, "-m", "zeqtools", "tokenize-corpus", "-", "-o",
                          str(tmp_path / "o"), "-j", "2"], stdin=subprocess.PIPE,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
    p.stdin.write(b"Hello world\n" * 300_000)  # 3.6 MB: more than the first two blocks
    p.stdin.flush()
    _until(lambda: len(_children(p.pid)) == 2, "the workers did not start")
    return p, _children(p.pid)


def _finish(p, workers, tmp_path):
    try:
        p.stdin.close()
    except BrokenPipeError:
        pass
    err = p.stderr.read().decode()
    p.wait(timeout=60)
    assert "Traceback" not in err and err.count("\n") == 1, err
    assert sorted(os.listdir(tmp_path)) == []  # no output, no .part files
    _until(lambda: not any(os.path.exists(f"/proc/{pid}") for pid in workers), "workers left")
    return err


@pytest.mark.parametrize("signum, to_group", [(signal.SIGTERM, True), (signal.SIGHUP, True),
                                              (signal.SIGINT, True), (signal.SIGTERM, False)])
def test_stop_signals_clean_up_like_ctrl_c(tmp_path, signum, to_group):
    p, workers = _start_on_a_pipe(tmp_path)
    if to_group:  # as timeout, job schedulers and a closing terminal do
        os.killpg(p.pid, signum)
    else:
        os.kill(p.pid, signum)
    err = _finish(p, workers, tmp_path)
    name = signal.Signals(signum).name
    assert err == ("zeq: interrupted\n" if name == "SIGINT" else f"zeq: stopped by {name}\n")
    assert p.returncode == 128 + signum


def test_a_dead_worker_is_reported_instead_of_waited_for(tmp_path):
    p, workers = _start_on_a_pipe(tmp_path)
    for pid in workers:
        os.kill(pid, signal.SIGKILL)
    err = _finish(p, workers, tmp_path)
    assert p.returncode == 1 and "ended unexpectedly (killed by SIGKILL)" in err


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
    assert "2 workers" in err  # the summary line is always there
    bad = write(tmp_path, "bad.txt", (TEXT * 10).encode() + b"\xff")
    err = _run_cli([bad, "-o", str(tmp_path / "p"), "-j", "1"], tty).replace("\r\n", "\n")
    assert ("MB/s" in err) == tty
    assert [line for line in err.split("\n") if "zeq: error:" in line][0].startswith("zeq")
