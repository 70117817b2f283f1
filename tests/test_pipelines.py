"""Ray Data and Hugging Face datasets running zeqtools.pipelines for real, on
two worker processes each, against encode_batch in this process.

The workers get the encoder by pickling: it is loaded from a copy of the
vocabulary that is deleted before the engines start, so no worker can have
read a file."""

import os
import shutil

import pytest

from conftest import shared_path

pa = pytest.importorskip("pyarrow")

from zeqtools import Encoder  # noqa: E402
from zeqtools.arrow import arrow_to_flat  # noqa: E402
from zeqtools.pipelines import encode_dataset, encode_text_files_with_ray  # noqa: E402

# Lines that the engines' readers keep as they are (no \r, \x0b, \x0c...).
ODD_LINES = ["", "   ", "\t tab", "\u2581marker", "\U0001F642 \u65e5\u672c", "x" * 3000]


@pytest.fixture(scope="module")
def lines():
    # The first batches take far longer than the rest (long lines of words
    # the encoder has not seen), so that later batches finish first.
    slow = [" ".join(f"w{i * 7919 + k * 104729}" for k in range(20000)) for i in range(100)]
    text = shared_path("corpus", "multi.txt").read_text(encoding="utf-8")
    return slow + text.split("\n")[:3000] + ODD_LINES


@pytest.fixture(scope="module")
def files(lines, tmp_path_factory):
    """The lines in two files, cut in the middle."""
    folder = tmp_path_factory.mktemp("pipelines")
    half = len(lines) // 2
    paths = [folder / "a.txt", folder / "b.txt"]
    for path, part in zip(paths, (lines[:half], lines[half:])):
        path.write_text("".join(line + "\n" for line in part), encoding="utf-8")
    return [str(p) for p in paths]


@pytest.fixture(scope="module")
def enc(tmp_path_factory):
    copy = tmp_path_factory.mktemp("vocab") / "multi32k.vocab.bin"
    shutil.copyfile(shared_path("vocab", "multi32k.vocab.bin"), copy)
    encoder = Encoder.from_file(copy)
    copy.unlink()
    return encoder


@pytest.fixture(scope="module")
def ray_session():
    ray = pytest.importorskip("ray")
    pytest.importorskip("ray.data")
    os.environ["RAY_USAGE_STATS_ENABLED"] = "0"
    ray.init(num_cpus=2, include_dashboard=False, _node_ip_address="127.0.0.1",
             object_store_memory=256 << 20, log_to_driver=False)
    try:
        ray.data.DataContext.get_current().enable_progress_bars = False
        yield ray
    finally:
        ray.shutdown()


def flat(column):
    ids, offsets = arrow_to_flat(column)
    return ids.tolist(), offsets.tolist()


def test_ray_data_gives_the_ids_of_one_process_in_order(ray_session, enc, files, lines):
    ds = encode_text_files_with_ray(files, enc, workers=2, batch_size=256, add_eos=True)
    table = pa.concat_tables(ds.iter_batches(batch_format="pyarrow", batch_size=None))
    assert table.schema.field("ids").type == pa.large_list(pa.uint32())
    ids, offsets = enc.encode_flat(lines, add_eos=True, threads=1)
    assert flat(table.column("ids")) == (ids.tolist(), offsets.tolist())


@pytest.mark.parametrize("as_bytes, keep_columns", [(False, False), (True, True)])
def test_datasets_map_gives_the_ids_of_one_process_in_order(enc, files, lines, tmp_path,
                                                           as_bytes, keep_columns):
    datasets = pytest.importorskip("datasets")
    datasets.disable_progress_bars()
    source = datasets.load_dataset("text", data_files=files, split="train",
                                   cache_dir=str(tmp_path / "cache"))
    encoder = enc.__reduce__()[1][0] if as_bytes else enc
    out = encode_dataset(source, encoder, num_proc=2, batch_size=500, keep_columns=keep_columns)
    assert out.features["ids"] == datasets.LargeList(datasets.Value("uint32"))
    assert out.column_names == (["text", "ids"] if keep_columns else ["ids"])
    ids, offsets = enc.encode_flat(lines, threads=1)
    assert flat(out.data.column("ids")) == (ids.tolist(), offsets.tolist())
