"""zeqtools.arrow (encode_flat's buffers as an Arrow list array, no copy, and
back) and zeqtools.pipelines run for real in Ray Data and Hugging Face
datasets on two workers each, against encode_flat in this process."""

import gc
import os
import subprocess
import sys
from array import array

import pytest

from conftest import shared_path
from zeqtools import Encoder

# Lines that every reader keeps whole (no \r, \x0b, \x0c...).
ODD = ["", "   ", "\t tab", "\u2581marker", "\U0001F642 \u65e5\u672c", "x" * 3000]


@pytest.fixture(scope="module")
def pa():
    return pytest.importorskip("pyarrow")


@pytest.fixture(scope="module")
def enc():
    return Encoder.from_file(shared_path("vocab", "multi32k.vocab.bin"))


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """(lines, two files holding them). The first lines take far longer to
    encode than the rest (words the encoder has not seen), so that later
    batches finish first."""
    slow = [" ".join(f"w{i * 7919 + k * 104729}" for k in range(20000)) for i in range(100)]
    lines = slow + shared_path("corpus", "multi.txt").read_text(encoding="utf-8").split("\n")[:3000] + ODD
    paths = [tmp_path_factory.mktemp("corpus") / name for name in ("a.txt", "b.txt")]
    half = len(lines) // 2
    for path, part in zip(paths, (lines[:half], lines[half:])):
        path.write_text("".join(line + "\n" for line in part), encoding="utf-8")
    return lines, [str(p) for p in paths]


def flat(column):
    from zeqtools.arrow import arrow_to_flat

    return tuple(view.tolist() for view in arrow_to_flat(column))


def test_import_needs_no_pyarrow_and_a_call_says_what_is_missing():
    code = ("import sys; sys.modules['pyarrow'] = None\n"
            "import zeqtools.arrow, zeqtools.pipelines\n"
            "try: zeqtools.arrow.flat_to_arrow(b'', b'')\n"
            "except ImportError as e: print(e)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "zeqtools.arrow needs pyarrow: pip install pyarrow"


def test_flat_output_as_arrow_shares_memory_and_keeps_it_alive(pa, enc):
    from zeqtools.arrow import arrow_to_flat, flat_to_arrow

    ids, offsets = enc.encode_flat(ODD, add_eos=True)
    column = flat_to_arrow(ids, offsets)
    assert column.type == pa.large_list(pa.uint32())
    assert [b.address for b in column.buffers()[1::2]] == [pa.py_buffer(offsets).address, pa.py_buffer(ids).address]
    assert pa.py_buffer(arrow_to_flat(column)[0]).address == pa.py_buffer(ids).address
    del ids, offsets
    gc.collect()
    assert column.to_pylist() == enc.encode_batch(ODD, add_eos=True)


@pytest.mark.parametrize("shape", ["slice", "empty", "list32", "chunks"])
def test_back_to_flat_from_sliced_narrow_and_chunked_arrays(pa, enc, shape):
    from zeqtools.arrow import encode_arrow

    column = encode_arrow(enc, ODD)
    column = {"slice": column.slice(2, 3), "empty": column.slice(6),
              "list32": column.cast(pa.list_(pa.uint32())).slice(1),
              "chunks": pa.chunked_array([column.slice(0, 2), column.slice(2)])}[shape]
    ids, offsets = flat(column)
    assert offsets[0] == 0 and offsets[-1] == len(ids)
    assert [ids[a:b] for a, b in zip(offsets, offsets[1:])] == column.to_pylist()


@pytest.mark.parametrize("call, message", [
    (lambda pa: ("flat_to_arrow", array("i", [5]), array("q", [0, 1])), "ids must be .* uint32, not 1-dim"),
    (lambda pa: ("flat_to_arrow", array("I", [5]), array("Q", [0, 1])), "offsets must be .* int64"),
    (lambda pa: ("flat_to_arrow", array("I", [5]), array("q", [0, 2])), "ids \\(1\\), not from 0 to 2"),
    (lambda pa: ("flat_to_arrow", array("I", [5, 6]), array("q", [0, 3, 2])), "not a valid list layout"),
    (lambda pa: ("arrow_to_flat", pa.array([[1], None], pa.large_list(pa.uint32()))), "1 of the 2 lists are null"),
    (lambda pa: ("arrow_to_flat", pa.array([[1]], pa.large_list(pa.int64()))), "not large_list<item: int64>"),
])
def test_buffers_and_arrays_are_checked(pa, call, message):
    import zeqtools.arrow

    name, *args = call(pa)
    with pytest.raises((TypeError, ValueError), match=message):
        getattr(zeqtools.arrow, name)(*args)


@pytest.fixture(scope="module")
def ray(pa):
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        # Ray's workers inherit the preloaded runtime, and Ray's own
        # setproctitle reads freed memory there: the worker aborts at start
        # and the run waits for it for ever.
        pytest.skip("Ray's workers abort under AddressSanitizer")
    ray = pytest.importorskip("ray")
    pytest.importorskip("ray.data")
    os.environ["RAY_USAGE_STATS_ENABLED"] = "0"
    ray.init(num_cpus=2, include_dashboard=False, _node_ip_address="127.0.0.1",
             object_store_memory=256 << 20, log_to_driver=False)
    ray.data.DataContext.get_current().enable_progress_bars = False
    yield ray
    ray.shutdown()


def test_ray_data_gives_the_ids_of_one_process_in_order(ray, pa, enc, corpus):
    from zeqtools.pipelines import encode_text_files_with_ray

    lines, files = corpus
    ds = encode_text_files_with_ray(files, enc, workers=2, batch_size=256, add_eos=True)
    table = pa.concat_tables(ds.iter_batches(batch_format="pyarrow", batch_size=None))
    assert flat(table.column("ids")) == tuple(v.tolist() for v in enc.encode_flat(lines, add_eos=True))


@pytest.mark.parametrize("as_bytes, keep_columns", [(False, False), (True, True)])
def test_datasets_map_gives_the_ids_of_one_process_in_order(pa, enc, corpus, tmp_path, as_bytes, keep_columns):
    datasets = pytest.importorskip("datasets")
    from zeqtools.pipelines import encode_dataset

    datasets.disable_progress_bars()
    lines, files = corpus
    source = datasets.load_dataset("text", data_files=files, split="train", cache_dir=str(tmp_path))
    encoder = enc.__reduce__()[1][0] if as_bytes else enc
    out = encode_dataset(source, encoder, num_proc=2, batch_size=500, keep_columns=keep_columns)
    assert out.column_names == ["text", "ids"][not keep_columns:]
    assert flat(out.data.column("ids")) == tuple(v.tolist() for v in enc.encode_flat(lines))
