import os
import pathlib

import pytest

from zeqtools.vocabfile import Piece, byte_piece_text, encode_vocab

SHARED = pathlib.Path(__file__).resolve().parents[2] / "shared"


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

    Set ZEQ_SHARED to point elsewhere."""
    root = pathlib.Path(os.environ.get("ZEQ_SHARED", SHARED))
    path = root.joinpath(*parts)
    if not path.exists():
        pytest.skip(f"{path} not available")
    return path


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
