"""Batch calls of zeqtools.Encoder: the same ids as one text at a time, on
any number of threads, from several Python threads at once, with hostile
callers, and interruptible."""

import os
import random
import signal
import subprocess
import sys
import threading
import time

import pytest

from conftest import shared_path
from zeqtools import Encoder

EDGE = ["", " ", "a", " leading", "trailing ", "tab\there", "\u00e9t\u00e9 \u65e5\u672c\u8a9e",
        "\U0001F642\U0001F642", "\u2581marker", "x" * 5000]


@pytest.fixture(scope="module")
def enc():
    return Encoder.from_file(str(shared_path("vocab", "multi32k.vocab.bin")))


@pytest.fixture(scope="module")
def lines():
    text = shared_path("corpus", "multi.txt").read_text(encoding="utf-8")
    return text.split("\n")[::7] + EDGE


@pytest.mark.parametrize("threads", [1, 2, 3, None])
def test_batches_equal_single_calls(enc, lines, threads):
    one = [enc.encode(t) for t in lines]
    assert enc.encode_batch(lines, threads=threads) == one
    ids, offsets = enc.encode_flat(lines, threads=threads)
    flat = ids.tolist()
    assert [flat[offsets[i]:offsets[i + 1]] for i in range(len(lines))] == one
    assert enc.decode_batch(one, threads=threads) == [enc.decode(i) for i in one]


def test_bos_eos_and_odd_inputs(enc):
    texts = ("a b", "", "c")
    single = [enc.encode(t, add_bos=True, add_eos=True) for t in texts]
    assert enc.encode_batch(texts, add_bos=True, add_eos=True) == single  # a tuple
    ids, offsets = enc.encode_flat((t for t in texts), add_eos=True)  # a generator
    assert offsets.tolist() == [0, len(single[0]) - 1, len(single[0]), len(single[0]) + len(single[2]) - 1]
    assert enc.encode_batch([]) == [] and enc.decode_batch([]) == []
    ids, offsets = enc.encode_flat([])
    assert len(ids) == 0 and offsets.tolist() == [0]


def test_flat_output_is_typed_and_shared_without_copies(enc, lines):
    np = pytest.importorskip("numpy")
    ids, offsets = enc.encode_flat(lines[:100])
    assert (ids.format, ids.itemsize, offsets.format, offsets.itemsize) == ("I", 4, "q", 8)
    assert len(offsets) == 101 and offsets[-1] == len(ids)
    a = np.asarray(ids)
    assert a.dtype == np.uint32 and np.shares_memory(a, np.asarray(ids))
    assert np.asarray(offsets).dtype == np.int64


def test_python_threads_at_once_get_their_own_results(enc, lines):
    # Batch calls release the interpreter lock, so these really overlap.
    chunks = [lines[k::4] for k in range(4)]
    expected = [[enc.encode(t) for t in c] for c in chunks]
    results, errors = {}, []

    def work(k):
        try:
            for _ in range(3):
                results.setdefault(k, []).append(enc.encode_batch(chunks[k], threads=2))
                assert enc.encode(chunks[k][0]) == expected[k][0]
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    workers = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert not errors
    for k in range(4):
        assert all(r == expected[k] for r in results[k])


def test_list_changed_by_another_thread_during_a_batch(enc):
    # The call reads the list as it is when the call starts: later changes
    # by other threads (the interpreter lock is released meanwhile) neither
    # crash it nor leak into its result.
    texts = ["word " * 50] * 20000
    expected = enc.encode(texts[0])
    stop = threading.Event()

    def meddle():
        while not stop.is_set():
            texts.append("extra")
            texts[1] = "changed"
            del texts[2:4]
            texts[2:2] = ["word " * 50] * 2
            del texts[-1]

    t = threading.Thread(target=meddle)
    t.start()
    try:
        out = enc.encode_batch(texts, threads=2)
    finally:
        stop.set()
        t.join()
    # The meddler's list has 20000 items between rounds, 20001 or 19999 (its
    # last one "extra") within a round.
    assert len(out) in (19999, 20000, 20001)
    body = out[2:] if len(out) == 20000 else out[2:-1]
    assert out[0] == expected and out[1] in (expected, enc.encode("changed"))
    assert all(o == expected for o in body)
    if len(out) != 20000:
        assert out[-1] == enc.encode("extra")


def test_ctrl_c_interrupts_a_long_batch_promptly(enc):
    # Seconds of work in slices that each take a few milliseconds, less than
    # one poll: 400 MB of words too many for the caches, in 256 texts of
    # 64 KiB listed 25 times each.
    letters = bytes.maketrans(bytes(range(256)), (b"bcdfghjklmnpqrstvwxz" * 13)[:224] + b" " * 32)
    texts = [random.Random(i).randbytes(1 << 16).translate(letters).decode() for i in range(256)] * 25
    fired = []

    def interrupt():
        time.sleep(0.1)
        fired.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    t = threading.Thread(target=interrupt)
    t.start()
    with pytest.raises(KeyboardInterrupt):
        enc.encode_flat(texts, threads=2)
    raised = time.perf_counter()
    t.join()
    assert raised - fired[0] < 0.5
    assert enc.encode_batch(texts[:3], threads=2) == [enc.encode(t) for t in texts[:3]]


OUT_OF_MEMORY = """
import resource, sys
from zeqtools import Encoder
enc = Encoder.from_file(sys.argv[1])
texts = ["a " * (1 << 20)] * 64  # 64 lists of 2^20 ids: 512 MiB of result
size = next(int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + (150 << 20),) * 2)
try:
    enc.encode_batch(texts, threads=1)
except MemoryError:
    print("MemoryError")
print(enc.encode_batch(texts[:2], threads=1)[1][:2] == enc.encode("a a"))
"""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", "") or not os.path.exists("/proc/self/status"),
                    reason="needs Linux's address-space limit, which AddressSanitizer's shadow memory exceeds")
def test_a_result_too_large_for_memory_raises_memory_error(tmp_path):
    # One thread: glibc ends a process whose new thread cannot get its
    # thread-local storage under an address-space limit.
    vocab = str(shared_path("vocab", "en8k.vocab.bin"))
    out = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY, vocab], capture_output=True, text=True)
    assert (out.returncode, out.stdout) == (0, "MemoryError\nTrue\n"), out.stderr
