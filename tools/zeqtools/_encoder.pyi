"""Type information for the native module behind :class:`zeqtools.Encoder`."""

import os
from typing import Iterable, Sequence, SupportsIndex, Tuple, Union, final

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

@final
class Encoder:
    """An encoder loaded from a `.vocab.bin` file.

    Instances come only from :meth:`from_file` and :meth:`from_bytes`.
    Single-text methods hold the interpreter lock; the batch methods release
    it while their threads work. Every id is an ``int`` from 0 to
    4294967295.
    """

    @staticmethod
    def from_file(path: _Path) -> Encoder:
        """Load an encoder from a .vocab.bin file (str, bytes or os.PathLike)."""
    @staticmethod
    def from_bytes(data: Union[bytes, bytearray]) -> Encoder:
        """Load an encoder from the bytes of a .vocab.bin file."""
    def encode(self, text: str, *, add_bos: bool = False, add_eos: bool = False) -> list[int]:
        """The token ids of text, with bos_id in front and eos_id after when asked."""
    def encode_pieces(self, text: str) -> list[str]:
        """The pieces of text, as strings."""
    def encode_offsets(self, text: str) -> list[Tuple[int, int]]:
        """For each token of encode(text), its (start, end) in text, in code points."""
    def decode(self, ids: Sequence[SupportsIndex]) -> str:
        """The text of a sequence of token ids."""
    def normalize(self, text: str) -> str:
        """The normalised text that segmentation reads (spaces as U+2581)."""
    def id_to_piece(self, id: SupportsIndex) -> Union[str, None]:
        """The text of one id, or None past the vocabulary."""
    def piece_to_id(self, piece: str) -> Union[int, None]:
        """The id of one piece, or None if it is not in the vocabulary."""
    def encode_batch(self, texts: Iterable[str], *, add_bos: bool = False, add_eos: bool = False,
                     threads: Union[int, None] = None) -> list[list[int]]:
        """encode() of every text, on `threads` threads (default: every CPU this process may use)."""
    def encode_flat(self, texts: Iterable[str], *, add_bos: bool = False, add_eos: bool = False,
                    threads: Union[int, None] = None) -> Tuple[memoryview, memoryview]:
        """(ids, offsets): every text's ids as uint32 ('I') and n + 1 int64 positions ('q')."""
    def decode_batch(self, id_lists: Iterable[Sequence[SupportsIndex]], *,
                     threads: Union[int, None] = None) -> list[str]:
        """decode() of every id list, on `threads` threads."""
    def __reduce__(self) -> Tuple[object, Tuple[bytes]]: ...
    @property
    def vocab_size(self) -> int:
        """The number of records of the vocabulary."""
    @property
    def pad_id(self) -> int:
        """The padding id."""
    @property
    def unk_id(self) -> int:
        """The id of unknown text."""
    @property
    def bos_id(self) -> int:
        """The begin-of-sequence id."""
    @property
    def eos_id(self) -> int:
        """The end-of-sequence id."""
    @property
    def has_options(self) -> bool:
        """Whether the file describes its source model's normaliser and special pieces."""
    def __len__(self) -> int: ...

class PanicException(BaseException):
    """A fault inside the native code rather than bad input."""
