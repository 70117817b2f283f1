"""Token ids as Apache Arrow arrays, without copying them.

:meth:`Encoder.encode_flat` returns every id of a batch in one uint32 buffer
and n + 1 int64 offsets; an Arrow ``LargeList<uint32>`` array is exactly that
pair of buffers. :func:`flat_to_arrow` wraps the two buffers as such an array
(the array keeps them alive; nothing is copied), and :func:`arrow_to_flat`
goes the other way, for arrays that come back from an engine or a file.

pyarrow is needed only when these functions are called: ``import zeqtools``
works without it.
"""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING, Any, Iterable, Literal, Optional, Tuple

if TYPE_CHECKING:
    import pyarrow

    from ._encoder import Encoder

# Buffer formats accepted for ids (native unsigned 32-bit) and offsets
# (native signed 64-bit): array.array and memoryviews say "I"/"q", numpy
# says "I"/"l" on LP64 platforms; "=" and "<" spell the same on little-endian.
_ID_FORMATS = frozenset({"I", "=I", "L", "=L"} | ({"<I", "<L"} if sys.byteorder == "little" else set()))
_OFFSET_FORMATS = frozenset({"q", "=q", "l", "=l"} | ({"<q", "<l"} if sys.byteorder == "little" else set()))


def _pyarrow():
    try:
        import pyarrow
    except ImportError as e:
        raise ImportError("zeqtools.arrow needs pyarrow: pip install pyarrow") from e
    return pyarrow


def _flat_view(obj: Any, formats: frozenset, itemsize: int, name: str, kind: str) -> memoryview:
    view = memoryview(obj)
    if view.ndim != 1 or not view.c_contiguous or view.itemsize != itemsize or view.format not in formats:
        raise TypeError(f"{name} must be a one-dimensional contiguous buffer of {kind}, not "
                        f"{view.ndim}-dimensional format {view.format!r}")
    return view


def flat_to_arrow(ids: Any, offsets: Any) -> "pyarrow.LargeListArray":
    """A ``LargeList<uint32>`` array whose entry i is ``ids[offsets[i]:offsets[i + 1]]``.

    ``ids``: uint32 ids, ``offsets``: n + 1 int64 positions into them, as
    :meth:`Encoder.encode_flat` returns them (any object with the buffer
    protocol and these formats). The array addresses their memory directly
    and holds a reference to it. Raises :class:`TypeError` for another
    format and :class:`ValueError` for offsets that do not start at 0, go
    backwards or past the ids; the check reads every offset once.
    """
    pa = _pyarrow()
    id_view = _flat_view(ids, _ID_FORMATS, 4, "ids", "uint32")
    offset_view = _flat_view(offsets, _OFFSET_FORMATS, 8, "offsets", "int64")
    if len(offset_view) == 0:
        raise ValueError("offsets must hold at least one entry (n + 1 for n lists)")
    if offset_view[0] != 0 or offset_view[-1] != len(id_view):
        raise ValueError(f"offsets must run from 0 to the number of ids ({len(id_view)}), "
                         f"not from {offset_view[0]} to {offset_view[-1]}")
    values = pa.Array.from_buffers(pa.uint32(), len(id_view), [None, pa.py_buffer(id_view)])
    positions = pa.Array.from_buffers(pa.int64(), len(offset_view), [None, pa.py_buffer(offset_view)])
    array = pa.LargeListArray.from_arrays(positions, values)
    try:
        array.validate(full=True)
    except pa.ArrowInvalid as e:
        raise ValueError(f"offsets are not a valid list layout: {e}") from None
    return array


def encode_arrow(encoder: "Encoder", texts: Iterable[str], *, add_bos: bool = False, add_eos: bool = False,
                 threads: Optional[int] = None) -> "pyarrow.LargeListArray":
    """``encoder.encode_flat(texts, ...)`` as a ``LargeList<uint32>`` array."""
    ids, offsets = encoder.encode_flat(texts, add_bos=add_bos, add_eos=add_eos, threads=threads)
    return flat_to_arrow(ids, offsets)


def _buffer_view(array: "pyarrow.Array", code: Literal["I", "q"], itemsize: int) -> memoryview:
    """The memory of a primitive array without nulls, as a memoryview of
    format ``code`` (read-only, sharing the array's buffer)."""
    buffer = array.buffers()[1]
    if buffer is None or len(array) == 0:
        return memoryview(b"").cast(code)
    start = array.offset * itemsize
    return memoryview(buffer).cast("B")[start:start + len(array) * itemsize].cast(code)


def arrow_to_flat(array: Any) -> Tuple[memoryview, memoryview]:
    """The inverse of :func:`flat_to_arrow`: (ids as uint32 ``'I'``, n + 1
    offsets as int64 ``'q'`` starting at 0) of a list array of uint32.

    Accepts ``LargeList<uint32>`` and ``List<uint32>`` arrays, sliced or not,
    and chunked arrays of them (a column of a table). The ids share the
    array's memory when it is one chunk; the offsets do too when they are
    int64 and start at 0, else they are a new array. Raises
    :class:`TypeError` for another type and :class:`ValueError` for a null
    list or a null id, or a layout that does not validate.
    """
    pa = _pyarrow()
    if isinstance(array, pa.ChunkedArray):
        array = array.combine_chunks() if array.num_chunks != 1 else array.chunk(0)
    if not isinstance(array, pa.Array):
        raise TypeError(f"expected a pyarrow Array or ChunkedArray, not {type(array).__name__}")
    kind = array.type
    if not (pa.types.is_list(kind) or pa.types.is_large_list(kind)) or kind.value_type != pa.uint32():
        raise TypeError(f"expected a list<uint32> or large_list<uint32> array, not {kind}")
    try:
        array.validate(full=True)
    except pa.ArrowInvalid as e:
        raise ValueError(f"not a valid list array: {e}") from None
    if array.null_count:
        raise ValueError(f"{array.null_count} of the {len(array)} lists are null")
    positions = array.offsets  # this slice's n + 1 offsets into array.values
    first, last = positions[0].as_py(), positions[-1].as_py()
    values = array.values.slice(first, last - first)
    if values.null_count:
        raise ValueError(f"{values.null_count} ids are null")
    if first != 0 or positions.type != pa.int64():
        import pyarrow.compute as pc

        positions = pc.subtract(positions.cast(pa.int64()), pa.scalar(first, pa.int64()))
    return _buffer_view(values, "I", 4), _buffer_view(positions, "q", 8)


__all__ = ["flat_to_arrow", "encode_arrow", "arrow_to_flat"]
