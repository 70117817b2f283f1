"""zeqtools.arrow and the batch function of zeqtools.pipelines: encode_flat's
buffers as an Arrow list array without a copy, and back; pyarrow optional."""

import gc
import pickle
import subprocess
import sys

import pytest

from conftest import HEADER, PIECES
from zeqtools import Encoder
from zeqtools.vocabfile import encode_vocab

TEXTS = ["a b", "", "Hello world.", "ab\u00e9", " a", "b" * 300]


@pytest.fixture(scope="module")
def raw():
    return encode_vocab(PIECES, **HEADER)


@pytest.fixture(scope="module")
def enc(raw):
    return Encoder.from_bytes(raw)


def test_import_needs_no_pyarrow_and_calls_say_what_is_missing():
    code = ("import sys; sys.modules['pyarrow'] = None\n"
            "import zeqtools, zeqtools.arrow, zeqtools.pipelines\n"
            "try:\n"
            "    zeqtools.arrow.flat_to_arrow(b'', b'')\n"
            "except ImportError as e:\n"
            "    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "zeqtools.arrow needs pyarrow: pip install pyarrow"


def test_flat_output_becomes_a_list_array_on_the_same_memory(enc):
    pa = pytest.importorskip("pyarrow")
    from zeqtools.arrow import arrow_to_flat, flat_to_arrow

    ids, offsets = enc.encode_flat(TEXTS, add_eos=True)
    array = flat_to_arrow(ids, offsets)
    assert array.type == pa.large_list(pa.uint32())
    _, positions, _, values = array.buffers()
    assert values.address == pa.py_buffer(ids).address
    assert positions.address == pa.py_buffer(offsets).address
    back_ids, back_offsets = arrow_to_flat(array)
    assert pa.py_buffer(back_ids).address == values.address
    assert (back_ids.tolist(), back_offsets.tolist()) == (ids.tolist(), offsets.tolist())
    # The array owns a reference: the encoder's buffers outlive the views.
    expected = enc.encode_batch(TEXTS, add_eos=True)
    del ids, offsets, back_ids, back_offsets, positions, values
    gc.collect()
    assert array.to_pylist() == expected


@pytest.mark.parametrize("make", [
    lambda pa, a: a.slice(2, 3),
    lambda pa, a: a.slice(6),
    lambda pa, a: a.cast(pa.list_(pa.uint32())).slice(1),
    lambda pa, a: pa.chunked_array([a.slice(0, 2), a.slice(2)]),
    lambda pa, a: pa.table({"ids": a}).column("ids"),
], ids=["slice", "empty-slice", "list32", "two-chunks", "table-column"])
def test_back_to_flat_from_the_shapes_engines_return(enc, make):
    pa = pytest.importorskip("pyarrow")
    from zeqtools.arrow import arrow_to_flat, encode_arrow

    array = make(pa, encode_arrow(enc, TEXTS))
    ids, offsets = arrow_to_flat(array)
    assert (ids.format, offsets.format, offsets[0]) == ("I", "q", 0)
    expected = array.to_pylist()
    assert [ids[offsets[i]:offsets[i + 1]].tolist() for i in range(len(expected))] == expected
    assert len(offsets) == len(expected) + 1 and offsets[-1] == len(ids)


def test_bad_buffers_and_arrays_are_refused():
    pa = pytest.importorskip("pyarrow")
    from array import array

    from zeqtools.arrow import arrow_to_flat, flat_to_arrow

    ids = array("I", [5, 6, 7])
    for bad_ids, bad_offsets, error, message in [
        (array("i", [5]), array("q", [0, 1]), TypeError, "ids must be .* uint32, not 1-dimensional format 'i'"),
        (ids, array("Q", [0, 3]), TypeError, "offsets must be .* int64"),
        (memoryview(bytes(8)).cast("I", (1, 2)), array("q", [0, 2]), TypeError, "2-dimensional"),
        (ids, array("q"), ValueError, "at least one entry"),
        (ids, array("q", [1, 3]), ValueError, "from 0 to the number of ids \\(3\\), not from 1 to 3"),
        (ids, array("q", [0, 4]), ValueError, "not from 0 to 4"),
        (ids, array("q", [0, 5, 3]), ValueError, "not a valid list layout"),
    ]:
        with pytest.raises(error, match=message):
            flat_to_arrow(bad_ids, bad_offsets)
    for bad, error, message in [
        (pa.array([[1], None], pa.large_list(pa.uint32())), ValueError, "1 of the 2 lists are null"),
        (pa.array([[1, None]], pa.large_list(pa.uint32())), ValueError, "1 ids are null"),
        (pa.array([[1]], pa.large_list(pa.int64())), TypeError, "not large_list<item: int64>"),
        (pa.array([1], pa.uint32()), TypeError, "not uint32"),
        ([[1]], TypeError, "not list"),
    ]:
        with pytest.raises(error, match=message):
            arrow_to_flat(bad)


def test_batch_encoder_takes_tables_and_mappings_and_pickles_by_content(enc, raw):
    pa = pytest.importorskip("pyarrow")
    from zeqtools.pipelines import BatchEncoder

    fn = BatchEncoder(raw, text_column="t", ids_column="out", add_bos=True)
    expected = enc.encode_batch(TEXTS, add_bos=True)
    copy = pickle.loads(pickle.dumps(fn))
    for f in (fn, copy):
        for batch in ({"t": TEXTS}, pa.table({"t": TEXTS, "other": list(range(len(TEXTS)))})):
            out = f(batch)
            assert out.column_names == ["out"]
            assert out.column("out").to_pylist() == expected
    with pytest.raises(TypeError, match="a batch must be a pyarrow.Table or a mapping of columns, not list"):
        fn(TEXTS)
