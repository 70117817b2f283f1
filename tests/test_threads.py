"""Threads sharing one Tokenizer: eight threads making 20,000 mixed calls
each, with the interpreter switching threads as often as it can, get
exactly the results that one thread gets for the same calls. The mix holds
failing calls too (each thread must see its own exception) and loads of
other tokenizers, which are made and freed while the shared one is used."""

import sys
import threading

import pytest

from conftest import shared_path
from zeq import Tokenizer

THREADS = 8
CALLS = 20_000
DISTINCT = 2_000


def make_calls(tok, lines, small_path):
    """DISTINCT calls (name, argument), mixed over every member."""
    size = tok.vocab_size
    calls = []
    for i in range(DISTINCT):
        line = lines[i % len(lines)]
        kind = i % 20
        if kind < 7:
            calls.append(("encode", line))
        elif kind < 10:
            calls.append(("encode_pieces", line))
        elif kind < 13:
            calls.append(("decode", tok.encode(line) + [i * 7919 % (size + 50)]))
        elif kind < 15:
            calls.append(("id_to_piece", i * 104729 % (size + 50)))
        elif kind < 17:
            calls.append(("piece_to_id", tok.id_to_piece(i * 31 % size) if i % 3 else line[:5]))
        elif kind == 17:
            calls.append(("decode", [1, -1] if i % 2 else [1, "x"]))  # OverflowError, TypeError
        elif kind == 18 or i % 100 != 19:
            calls.append(("from_file", (small_path + ".missing", line)))  # OSError
        else:
            # Another tokenizer on the same words must not see the shared one's results.
            calls.append(("from_file", (small_path, line)))
    return calls


def run(tok, call):
    name, arg = call
    try:
        if name == "from_file":
            path, line = arg
            other = Tokenizer.from_file(path)
            return other.encode(line), other.encode_pieces(line), other.vocab_size
        return getattr(tok, name)(arg)
    except Exception as e:  # noqa: BLE001 - the error is the result
        return type(e), str(e)


@pytest.fixture(scope="module")
def setup(tmp_path_factory):
    vocab = shared_path("vocab", "multi32k.vocab.bin")
    corpus = shared_path("corpus", "multi.txt").read_text(encoding="utf-8").split("\n")
    lines = [line[:300] for line in corpus[::97] if line][:500]
    small = tmp_path_factory.mktemp("threads") / "small.vocab.bin"
    from zeqtools.vocabfile import encode_vocab

    small.write_bytes(encode_vocab([(t, i, -1.0) for i, t in enumerate(["<unk>", "<s>", "</s>", "<pad>", "▁a", "▁b"])],
                                   unk_id=0, bos_id=1, eos_id=2, pad_id=3))
    tok = Tokenizer.from_file(str(vocab))
    return tok, make_calls(tok, lines, str(small))


def test_threads_get_the_single_thread_results(setup):
    tok, calls = setup
    expected = [run(tok, c) for c in calls]
    assert sum(isinstance(r, tuple) and isinstance(r[0], type) for r in expected) >= DISTINCT // 10
    results = [None] * THREADS
    errors = []
    start = threading.Barrier(THREADS)

    def worker(k):
        try:
            start.wait()
            offset = k * DISTINCT // THREADS  # threads make different calls at the same time
            results[k] = [run(tok, calls[(offset + j) % DISTINCT]) for j in range(CALLS)]
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert not errors, errors
    for k in range(THREADS):
        offset = k * DISTINCT // THREADS
        wrong = [j for j in range(CALLS) if results[k][j] != expected[(offset + j) % DISTINCT]]
        assert not wrong, (k, wrong[:5], calls[(offset + wrong[0]) % DISTINCT])
