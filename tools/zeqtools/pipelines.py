"""Encoding text columns in Ray Data and Hugging Face ``datasets``.

:class:`BatchEncoder` is the function both engines map over batches: it
holds one :class:`Encoder` and turns a column of texts into a column of ids,
``LargeList<uint32>`` in Arrow, built around the encoder's output without a
copy. An Encoder pickles as the bytes of its vocabulary, so the engines ship
it to their worker processes with the function and no worker needs the
vocabulary file.

:func:`encode_text_files_with_ray` and :func:`encode_dataset` are the two
recipes (docs/pipelines.md); each gives, in order, exactly the ids that
``encoder.encode_batch`` gives for the same texts in one process. Neither
engine is imported before these functions are called.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Optional, Sequence, Union

from .arrow import encode_arrow

if TYPE_CHECKING:
    import datasets
    import pyarrow
    import ray.data

    from ._encoder import Encoder

# An Encoder, or the bytes of a .vocab.bin file.
EncoderSource = Union["Encoder", bytes, bytearray]


class BatchEncoder:
    """A batch function: texts in column ``text_column`` -> a table with
    their ids in column ``ids_column``, one row per text, in order.

    ``encoder``: an :class:`Encoder`, or the bytes of a ``.vocab.bin`` file.
    A batch is a ``pyarrow.Table`` (Ray's ``batch_format="pyarrow"``,
    ``datasets`` formatted as ``"arrow"``) or a mapping of column names to
    lists (``datasets``' default). The result is a ``pyarrow.Table`` holding
    only the ids column. ``threads``: the encoder's threads per batch; 1 suits
    engines that already run one worker per CPU.
    """

    def __init__(self, encoder: EncoderSource, *, text_column: str = "text", ids_column: str = "ids",
                 add_bos: bool = False, add_eos: bool = False, threads: int = 1) -> None:
        if isinstance(encoder, (bytes, bytearray)):
            from ._encoder import Encoder

            encoder = Encoder.from_bytes(encoder)
        self.encoder = encoder
        self.text_column = text_column
        self.ids_column = ids_column
        self.add_bos = add_bos
        self.add_eos = add_eos
        self.threads = threads

    def __call__(self, batch: Any) -> "pyarrow.Table":
        import pyarrow as pa

        if isinstance(batch, pa.Table):
            texts = batch.column(self.text_column).to_pylist()
        elif isinstance(batch, Mapping):
            texts = batch[self.text_column]
        else:
            raise TypeError(f"a batch must be a pyarrow.Table or a mapping of columns, "
                            f"not {type(batch).__name__}")
        ids = encode_arrow(self.encoder, texts, add_bos=self.add_bos, add_eos=self.add_eos,
                           threads=self.threads)
        return pa.table({self.ids_column: ids})


def encode_text_files_with_ray(paths: Union[str, Sequence[str]], encoder: EncoderSource, *,
                               workers: int = 2, num_cpus: float = 0.5,
                               batch_size: int = 4096, add_bos: bool = False,
                               add_eos: bool = False, threads: int = 1) -> "ray.data.Dataset":
    """A Ray dataset with the ids of every line of ``paths`` in column
    ``"ids"`` (``LargeList<uint32>``), in file and line order.

    Lines are those of ``ray.data.read_text``, empty lines included: it cuts
    with ``str.splitlines``, so ``\\r``, ``\\r\\n``, ``\\x0b``, ``\\x0c``,
    ``\\x1c``-``\\x1e``, ``\\x85``, U+2028 and U+2029 end a line too.
    A pool of ``workers`` actors each holds one copy of the encoder;
    ``num_cpus`` is what Ray reserves for each: below 1 so that the read
    tasks still get a CPU on a cluster with as many CPUs as workers (with 1,
    the reads wait for ever). Call ``ray.init`` first; the dataset runs when
    it is consumed (``take_all``, ``iter_batches``, ``write_parquet``...).
    """
    import ray.data

    lines = ray.data.read_text(paths if isinstance(paths, str) else list(paths), drop_empty_lines=False)
    ids = lines.map_batches(BatchEncoder, fn_constructor_args=(encoder,),
                            fn_constructor_kwargs={"add_bos": add_bos, "add_eos": add_eos,
                                                   "threads": threads},
                            batch_format="pyarrow", batch_size=batch_size,
                            compute=ray.data.ActorPoolStrategy(size=workers), num_cpus=num_cpus)
    # Batches finish in any order on several workers; the result keeps the
    # order of the lines. The setting belongs to this dataset's own context.
    ids.context.execution_options.preserve_order = True
    return ids


def encode_dataset(dataset: "datasets.Dataset", encoder: EncoderSource, *, text_column: str = "text",
                   ids_column: str = "ids", num_proc: Optional[int] = 2, batch_size: int = 1000,
                   add_bos: bool = False, add_eos: bool = False, threads: int = 1,
                   keep_columns: bool = False, **map_kwargs: Any) -> "datasets.Dataset":
    """``dataset.map`` with a :class:`BatchEncoder` on ``num_proc`` processes:
    a dataset with the ids of ``text_column`` in ``ids_column``
    (``LargeList<uint32>``), row for row; with ``keep_columns``, after the
    columns of ``dataset``. ``map_kwargs`` go to ``Dataset.map``."""
    fn = BatchEncoder(encoder, text_column=text_column, ids_column=ids_column,
                      add_bos=add_bos, add_eos=add_eos, threads=threads)
    # A batch function that returns a table replaces every column.
    ids = dataset.map(fn, batched=True, batch_size=batch_size, num_proc=num_proc,
                      remove_columns=dataset.column_names, **map_kwargs)
    if not keep_columns:
        return ids
    import datasets

    return datasets.concatenate_datasets([dataset, ids], axis=1)


__all__ = ["BatchEncoder", "encode_text_files_with_ray", "encode_dataset"]
