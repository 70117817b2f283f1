"""zeqtools.loading: Python's own exceptions for files that cannot be
opened, and a precise message for content the loader refuses."""

import errno
import os
import pickle

import pytest

import zeq
from conftest import HEADER, PIECES
from zeqtools import loading
from zeqtools.errors import VocabFormatError, VocabLoadError
from zeqtools.loading import load_tokenizer
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
        load_tokenizer(path)
    assert (info.value.errno, info.value.filename) == (code, path)


@pytest.mark.parametrize("data, problem", [
    (b"", "the file is empty"),
    (GOOD[:28 + 12 + 3], "file ends inside the text of record 0 of 11"),
    (GOOD[:28 + 2 * 12 + len("<unk><s>")], "file ends inside record 2 of 11"),
    (b"PK\x03\x04" + GOOD[4:], "bad magic [80, 75, 3, 4]: not a zeq vocabulary file"),
    (encode_vocab([(b"\xff", 0, 0.0)]), "piece not utf-8 in record 0"),
])
def test_refused_content_is_named_precisely(write_file, data, problem):
    path = write_file(data)
    with pytest.raises(VocabLoadError) as info:
        load_tokenizer(path)
    error = info.value
    assert isinstance(error, OSError) and isinstance(error, VocabFormatError)
    assert str(error).startswith(f"{path}: {problem}") and error.filename == path
    assert (error.errno, error.strerror) == (None, None)
    assert str(pickle.loads(pickle.dumps(error))) == str(error)  # crosses process boundaries


def test_files_past_the_diagnosis_limit_and_special_files_keep_the_loaders_message(
        write_file, monkeypatch):
    monkeypatch.setattr(loading, "DIAGNOSE_LIMIT", 8)
    with pytest.raises(VocabLoadError, match=r": io error: failed to fill whole buffer$"):
        load_tokenizer(write_file(GOOD[:40]))
    with pytest.raises(VocabLoadError, match=r"^/dev/null: io error: failed to fill"):
        load_tokenizer("/dev/null")


def test_a_file_name_that_is_not_utf8_loads(tmp_path):
    path = os.path.join(os.fsencode(tmp_path), b"v\xff.vocab.bin")
    with open(path, "wb") as f:
        f.write(GOOD)
    tok = load_tokenizer(path)
    assert isinstance(tok, zeq.Tokenizer) and tok.encode("a b") == [4, 5]
