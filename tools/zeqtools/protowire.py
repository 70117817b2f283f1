"""A minimal reader of the protocol-buffer wire format.

Just enough to walk the messages of a SentencePiece ``.model`` file without a
protobuf dependency: a message is a sequence of (field number, wire type,
value) triples; nested messages are length-delimited values that are parsed
again on demand. Unknown fields are skipped by their wire type, as protobuf
itself does.
"""

from __future__ import annotations

import struct
from typing import Iterator, Tuple, Union

from .errors import ConversionError

VARINT = 0
FIXED64 = 1
LENGTH_DELIMITED = 2
FIXED32 = 5

_MAX_VARINT_BYTES = 10

FieldValue = Union[int, bytes]


class ProtoError(ConversionError):
    """The bytes are not a well-formed protocol-buffer message."""


def read_varint(data: bytes, pos: int) -> Tuple[int, int]:
    """Decode the base-128 varint at ``pos``; return (value, next position)."""
    result = 0
    shift = 0
    for i in range(_MAX_VARINT_BYTES):
        if pos + i >= len(data):
            raise ProtoError(f"message ends inside a varint at byte {pos}")
        b = data[pos + i]
        result |= (b & 0x7F) << shift
        if b < 0x80:
            return result, pos + i + 1
        shift += 7
    raise ProtoError(f"varint longer than {_MAX_VARINT_BYTES} bytes at byte {pos}")


def iter_fields(data: bytes) -> Iterator[Tuple[int, int, FieldValue]]:
    """Yield (field number, wire type, value) for every field of a message.

    A varint value is the unsigned 64-bit integer; fixed32 and fixed64 values
    and length-delimited values are the raw bytes.
    """
    pos = 0
    end = len(data)
    while pos < end:
        start = pos
        key, pos = read_varint(data, pos)
        number, wire = key >> 3, key & 7
        if number == 0:
            raise ProtoError(f"field number 0 at byte {start}")
        value: FieldValue
        if wire == VARINT:
            value, pos = read_varint(data, pos)
        elif wire == FIXED64:
            if pos + 8 > end:
                raise ProtoError(f"message ends inside a 64-bit field at byte {start}")
            value, pos = data[pos:pos + 8], pos + 8
        elif wire == LENGTH_DELIMITED:
            n, pos = read_varint(data, pos)
            if pos + n > end:
                raise ProtoError(
                    f"field {number} at byte {start} claims {n} bytes, "
                    f"only {end - pos} remain")
            value, pos = data[pos:pos + n], pos + n
        elif wire == FIXED32:
            if pos + 4 > end:
                raise ProtoError(f"message ends inside a 32-bit field at byte {start}")
            value, pos = data[pos:pos + 4], pos + 4
        else:
            raise ProtoError(f"unsupported wire type {wire} (field {number}) at byte {start}")
        yield number, wire, value


def as_int32(value: int) -> int:
    """A varint read as a protobuf ``int32`` (negative values are sign-extended
    to 64 bits on the wire)."""
    value &= 0xFFFFFFFFFFFFFFFF
    if value >= 1 << 63:
        value -= 1 << 64
    if not -(1 << 31) <= value < (1 << 31):
        raise ProtoError(f"value {value} does not fit int32")
    return value


def as_bool(value: int) -> bool:
    return value != 0


def as_float32_bits(value: bytes) -> int:
    """The 32-bit pattern of a fixed32 ``float`` field."""
    return struct.unpack("<I", value)[0]


def as_text(value: bytes, what: str) -> str:
    try:
        return value.decode("utf-8")
    except UnicodeDecodeError as e:
        raise ProtoError(f"{what} is not UTF-8 ({e.reason} at byte {e.start})") from None


def expect(wire: int, wanted: int, what: str) -> None:
    if wire != wanted:
        raise ProtoError(f"{what} has wire type {wire}, expected {wanted}")
