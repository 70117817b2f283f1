"""Loading a vocabulary with zeqtools: Python's own exceptions for files that
cannot be opened, and a precise message, naming the file, for content that
is refused."""

import errno
import os
import pickle

import pytest

from conftest import HEADER, PIECES
from zeqtools import Encoder
from zeqtools.errors import VocabFormatError, VocabLoadError
from zeqtools.vocabfile import encode_vocab

GOOD = encode_vocab(PIECES, **HEADER)


@pytest.mark.parametrize("make, exc_type, code", [
    (lambda d: d / "missing.vocab.bin", FileNotFoundError, errno.ENOENT),
    (lambda d: d, IsADirectoryError, errno.EISDIR),
    (lambda d: d / "file" / "below", NotADirectoryError, errno.ENOTDIR),
])
def test_a_file_that_cannot_be_opened_raises_pythons_own_error(tmp_path, make, exc_type, code):
    (tmp_path / "file").write_bytes(GOOD)
    path = str(make(tmp_path))
    with pytest.raises(exc_type) as info:
        Encoder.from_file(path)
    assert (info.value.errno, info.value.filename) == (code, path)


@pytest.mark.parametrize("data, problem", [
    (b"", "the file is empty"),
    (GOOD[:20], "file ends inside the header"),
    (GOOD[:28 + 12 + 3], "file ends inside the text of record 0 of 11"),
    (GOOD[:28 + 2 * 12 + len("<unk><s>")], "file ends inside record 2 of 11"),
    (b"PK\x03\x04" + GOOD[4:], "bad magic: expected [90, 69, 81, 90], got [80, 75, 3, 4]"),
    (encode_vocab([(b"\xff", 0, 0.0)]), "piece not utf-8: invalid utf-8 sequence of 1 bytes from index 0"),
    (GOOD + b"ZEQO\x02\x00\x00\x00\x00\x00\x00\x00", "options section: version mismatch: expected 1, got 2"),
])
def test_refused_content_is_named_precisely(write_file, data, problem):
    path = write_file(data)
    with pytest.raises(VocabLoadError) as info:
        Encoder.from_file(path)
    error = info.value
    assert isinstance(error, OSError) and isinstance(error, VocabFormatError)
    assert str(error) == f"{path}: {problem}" and error.filename == path
    assert (error.errno, error.strerror) == (None, None)
    assert str(pickle.loads(pickle.dumps(error))) == str(error)  # crosses process boundaries
    with pytest.raises(VocabFormatError, match="^" + problem.replace("[", r"\[").replace("]", r"\]") + "$"):
        Encoder.from_bytes(data)


def test_special_files_and_names_that_are_not_utf8(tmp_path):
    with pytest.raises(VocabLoadError, match="^/dev/null: the file is empty$"):
        Encoder.from_file("/dev/null")
    path = os.path.join(os.fsencode(tmp_path), b"v\xff.vocab.bin")
    with open(path, "wb") as f:
        f.write(GOOD)
    for name in (path, os.fsdecode(path)):
        assert Encoder.from_file(name).encode("a b") == [4, 5]
    with pytest.raises(FileNotFoundError) as info:
        Encoder.from_file(os.fsdecode(path) + "x")
    assert info.value.filename == os.fsdecode(path) + "x"
