import os
import pathlib

import pytest

from zeqtools.vocabfile import Piece, byte_piece_text, encode_vocab

SHARED = pathlib.Path(__file__).resolve().parents[2] / "shared"

M = "\u2581"
SPECIALS = ["<unk>", "<s>", "</s>", "<pad>"]
WORDS = ["▁a", "▁b", "a", "b", "▁", "▁Hello", "▁world."]  # ids 4 .. 10
# The small vocabulary of the tests of the module's methods: the special
# pieces at the ids that HEADER names, then words with distinct scores.
PIECES = [(t, i, -1.0 - i / 16) for i, t in enumerate(SPECIALS + WORDS)]
HEADER = dict(unk_id=0, bos_id=1, eos_id=2, pad_id=3)

# The OverflowError messages for an id that does not fit 32 bits: within a
# C long, and beyond it.
RANGE = "out of range integral type conversion attempted"
TOO_LARGE = "Python int too large to convert to C long"


@pytest.fixture
def write_file(tmp_path):
    """Write raw bytes to a fresh file and return its path as str."""
    counter = [0]

    def write(data: bytes, name: str = None) -> str:
        counter[0] += 1
        path = tmp_path / (name or f"v{counter[0]}.vocab.bin")
        path.write_bytes(data)
        return str(path)

    return write


@pytest.fixture
def make_vocab(write_file):
    """Write a vocabulary (pieces as (text, id, score) or Piece) and return its path.

    Header keywords (pad_id, unk_id, bos_id, eos_id, version, piece_count,
    magic) pass through to encode_vocab.
    """

    def make(pieces, **header) -> str:
        return write_file(encode_vocab(pieces, **header))

    return make


@pytest.fixture
def load(make_vocab):
    """Write a vocabulary and load it with zeq."""
    import zeq

    def load_(pieces, **header):
        return zeq.Tokenizer.from_file(make_vocab(pieces, **header))

    return load_


def byte_pieces(start_id: int, score: float = 0.0):
    """The 256 byte pieces with ids start_id .. start_id + 255."""
    return [(byte_piece_text(b), start_id + b, score) for b in range(256)]


def shared_path(*parts) -> pathlib.Path:
    """A path under the shared data folder beside the project, or skip.

    Set ZEQ_SHARED to point elsewhere. With ZEQ_REQUIRE_SHARED=1 (as CI
    sets it) a missing path fails the test instead of skipping it."""
    root = pathlib.Path(os.environ.get("ZEQ_SHARED", SHARED))
    path = root.joinpath(*parts)
    if not path.exists():
        if os.environ.get("ZEQ_REQUIRE_SHARED") == "1":
            pytest.fail(f"{path} not available, and ZEQ_REQUIRE_SHARED=1 requires it")
        pytest.skip(f"{path} not available")
    return path


class Seq:
    """A sequence through the old protocol (__len__ and __getitem__). Each
    hook returns its value or raises it when it is an exception (`length`
    None: the true length); item `fail_at` raises `error`."""

    def __init__(self, items, length=None, error=None, fail_at=None):
        self.items, self.length, self.error, self.fail_at = items, length, error, fail_at

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.error
        return self.items[i]


class Index:
    """An object whose __index__ returns `value`, or raises it when it is an
    exception; `effect`, when given, runs first (caller code inside a call)."""

    def __init__(self, value, effect=None):
        self.value, self.effect = value, effect

    def __index__(self):
        if self.effect:
            self.effect()
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


@pytest.fixture(scope="session")
def sp_model():
    """A function kind -> the bytes of a SentencePiece model of that kind (a
    key of sp_models.KINDS), trained on the first run of the session; skips
    without sentencepiece or the shared corpora."""
    pytest.importorskip("sentencepiece")
    import sp_models

    cache = {}

    def get(kind: str) -> bytes:
        if kind not in cache:
            if "lines" not in cache:
                cache["lines"] = sp_models.training_lines()
            cache[kind] = sp_models.train(kind, cache["lines"])
        return cache[kind]

    return get
