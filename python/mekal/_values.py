"""Python values to and from mekal's datatypes.

Recording: a value becomes a type string, one argument for the value (a
scalar, or the address of its packed form: the elements one after another
in their own widths, little-endian, no padding) and one int count per set,
list and tuple in the order their brackets open. Reading: a stored value is
taken apart with mekal_num_subvals and mekal_get_subval.
"""
from __future__ import annotations

import ctypes
import datetime
import functools
import json
import os
import reprlib
import struct
from ctypes import byref, c_char_p, c_double, c_int, c_long, c_ulong, c_void_p
from decimal import Decimal
from typing import Any, Callable, Optional

from ._lib import Datatype, Timeval, Value, lib

UTC = datetime.timezone.utc
EPOCH = datetime.datetime(1970, 1, 1, tzinfo=UTC)
_SECOND = datetime.timedelta(seconds=1)
_MICROSECOND = datetime.timedelta(microseconds=1)
_INT_MAX = 2**31 - 1

# Type codes (mekal_type_t).
_SIGNED = {1: 8, 3: 4, 16: 8}
_UNSIGNED = {2: 8, 4: 4, 17: 8}
_DOUBLE, _DATE, _TIMEVAL, _JSON = 5, 6, 7, 18
_TEXTS = {8, 9, 10, 11, 18}
_RANGE, _SET, _LIST, _TUPLE = 12, 13, 14, 15


def describe(value: Any) -> str:
    return reprlib.repr(value)


# ------------------------------------------------------------ type trees

class Scalar:
    """A conversion: its type string, its packed struct code and how a
    Python value becomes what the struct code packs."""

    __slots__ = ("conv", "code", "adapt", "argument")

    def __init__(self, conv: str, code: str, adapt: Callable[[Any, list], Any],
                 argument: Any) -> None:
        self.conv, self.code, self.adapt, self.argument = conv, code, adapt, argument

    def text(self) -> str:
        return self.conv

    def default_counts(self) -> tuple:
        return ()


class Seq:
    """A set ("[...]") or a list ("{...}") of one element type."""

    __slots__ = ("open", "elem")

    def __init__(self, open_: str, elem: Any) -> None:
        self.open, self.elem = open_, elem

    def text(self) -> str:
        return self.open + self.elem.text() + ("]" if self.open == "[" else "}")

    def default_counts(self) -> tuple:
        return (0,) + self.elem.default_counts()


class Rng:
    """A range ("<...>"): two values of one type, no count of its own."""

    __slots__ = ("elem",)

    def __init__(self, elem: Any) -> None:
        self.elem = elem

    def text(self) -> str:
        return "<" + self.elem.text() + ">"

    def default_counts(self) -> tuple:
        return self.elem.default_counts()


class Tup:
    """A tuple ("(...)") of members of their own types."""

    __slots__ = ("members",)

    def __init__(self, members: list) -> None:
        self.members = members

    def text(self) -> str:
        return "(" + ",".join(m.text() for m in self.members) + ")"

    def default_counts(self) -> tuple:
        counts: tuple = (len(self.members),)
        for m in self.members:
            counts += m.default_counts()
        return counts


# ------------------------------------------------------------ adapters
# Each turns one Python value into what its struct code packs; keep holds
# the objects whose addresses are packed until the recording returns.

def _number(value: Any, keep: list) -> Any:
    if isinstance(value, (int, float)):
        return value
    raise TypeError(f"{describe(value)} is not a number")


def _integer(value: Any, keep: list) -> int:
    if isinstance(value, int):
        return value
    raise TypeError(f"{describe(value)} is not an integer")


def date_seconds(value: Any, keep: list) -> int:
    """Whole seconds since the epoch, rounded down; a naive datetime is
    local time, as datetime.timestamp() takes it."""
    if isinstance(value, datetime.datetime):
        if value.tzinfo is None:
            value = value.astimezone()
        return (value - EPOCH) // _SECOND
    if isinstance(value, int) and not isinstance(value, bool):
        return value
    raise TypeError(f"{describe(value)} is not a datetime")


def interval_address(value: Any, keep: list) -> int:
    """A struct timeval (microseconds rounded down, tv_usec in [0, 1e6))."""
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        value = datetime.timedelta(seconds=value)
    if not isinstance(value, datetime.timedelta):
        raise TypeError(f"{describe(value)} is not a timedelta")
    seconds, micros = divmod(value // _MICROSECOND, 1_000_000)
    tv = Timeval(seconds, micros)
    keep.append(tv)
    return ctypes.addressof(tv)


def encode(value: Any, what: str = "text") -> bytes:
    """UTF-8 for the C side; surrogate escapes give back the bytes they
    stand for, as os.fsencode does."""
    if isinstance(value, str):
        data = value.encode("utf-8", "surrogateescape")
    elif isinstance(value, bytes):
        data = value
    else:
        raise TypeError(f"{describe(value)} is not a {what}")
    if b"\0" in data:
        raise ValueError(f"{describe(value)}: a {what} cannot hold a NUL character")
    return data


def _text_address(value: Any, keep: list) -> int:
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
    buffer = c_char_p(encode(value))
    keep.append(buffer)
    # The pointer that the c_char_p holds, read in place.
    return c_void_p.from_buffer(buffer).value or 0


def _json_address(value: Any, keep: list) -> int:
    if isinstance(value, bool):
        value = "true" if value else "false"
    return _text_address(value, keep)


# Every conversion a type string may name, in its canonical spelling. The
# top level passes the value itself as the C entry takes it (an int for
# 1- and 2-byte widths, a double for "%f32"); containers pack it.
_CONVERSIONS: dict[str, Scalar] = {}
for _conv, _code, _adapt, _argument in [
        ("%d", "i", _integer, ctypes.c_int), ("%i", "i", _integer, ctypes.c_int),
        ("%i32", "i", _integer, ctypes.c_int), ("%i8", "b", _integer, ctypes.c_int),
        ("%i16", "h", _integer, ctypes.c_int), ("%i64", "q", _integer, ctypes.c_longlong),
        ("%ld", "q", _integer, c_long), ("%lld", "q", _integer, ctypes.c_longlong),
        ("%u", "I", _integer, ctypes.c_uint), ("%u32", "I", _integer, ctypes.c_uint),
        ("%u8", "B", _integer, ctypes.c_uint), ("%u16", "H", _integer, ctypes.c_uint),
        ("%u64", "Q", _integer, ctypes.c_ulonglong), ("%lu", "Q", _integer, c_ulong),
        ("%llu", "Q", _integer, ctypes.c_ulonglong),
        ("%f", "d", _number, c_double), ("%f64", "d", _number, c_double),
        ("%f32", "f", _number, c_double),
        ("%D", "q", date_seconds, c_long), ("%t", "Q", interval_address, c_void_p),
        ("%v", "Q", _text_address, c_void_p), ("%s", "Q", _text_address, c_void_p),
        ("%r", "Q", _text_address, c_void_p), ("%p", "Q", _text_address, c_void_p),
        ("%j", "Q", _json_address, c_void_p)]:
    _CONVERSIONS[_conv] = Scalar(_conv, _code, _adapt, _argument)

SIGNED, UNSIGNED = _CONVERSIONS["%ld"], _CONVERSIONS["%lu"]
DOUBLE, TEXT, JSON = _CONVERSIONS["%f"], _CONVERSIONS["%s"], _CONVERSIONS["%j"]
DATE, INTERVAL = _CONVERSIONS["%D"], _CONVERSIONS["%t"]


# ------------------------------------------------------------ parsing

_CLOSING = {"[": "]", "{": "}", "<": ">", "(": ")"}
_SEPARATORS = " \t\n,"


@functools.lru_cache(maxsize=256)
def parse(typestr: str) -> Any:
    """The tree of a type string. Stricter than the library's parser, so
    that both read every accepted string alike: canonical conversions only,
    no "&" (Python cannot keep referenced memory alive), nothing after the
    type or between an element and its closing bracket."""
    node, at = _parse_at(typestr, 0)
    if typestr[at:].strip(_SEPARATORS):
        raise ValueError(f"type string {typestr!r}: unexpected {typestr[at:]!r}")
    return node


def _parse_at(text: str, at: int) -> tuple[Any, int]:
    while at < len(text) and text[at] in _SEPARATORS:
        at += 1
    if at == len(text):
        raise ValueError(f"type string {text!r}: a type is missing")
    c = text[at]
    if c == "%":
        end = at + 1
        while end < len(text) and (text[end].isalnum()):
            end += 1
        # Letters and digits up to a separator or bracket: the library
        # would read "%d8" as "%d" and skip the "8"; here it is refused.
        conv = text[at:end]
        if conv not in _CONVERSIONS:
            raise ValueError(f"type string {text!r}: unknown conversion {conv!r}")
        return _CONVERSIONS[conv], end
    if c not in _CLOSING:
        raise ValueError(f"type string {text!r}: unexpected {text[at:]!r}")
    close = _CLOSING[c]
    if c == "(":
        members: list = []
        at += 1
        while True:
            while at < len(text) and text[at] in _SEPARATORS:
                at += 1
            if at < len(text) and text[at] == close:
                return Tup(members), at + 1
            member, at = _parse_at(text, at)
            members.append(member)
    elem, at = _parse_at(text, at + 1)
    while at < len(text) and text[at] in " \t\n":
        at += 1
    if at == len(text) or text[at] != close:
        raise ValueError(f"type string {text!r}: {c!r} is not closed by {close!r}")
    return (Rng(elem) if c == "<" else Seq(c, elem)), at + 1


# ------------------------------------------------------------ inference

class _Int:
    """An integer type still open: signed unless a value needs 64 bits
    unsigned, which no other value of the same place may contradict."""

    __slots__ = ("negative", "large")

    def __init__(self, negative: bool, large: bool) -> None:
        self.negative, self.large = negative, large


def infer(value: Any) -> Any:
    """The type tree that records value, or TypeError/ValueError."""
    if isinstance(value, bool):
        return JSON
    if isinstance(value, int):
        if not -2**63 <= value < 2**64:
            raise ValueError(f"{describe(value)} does not fit in 64 bits")
        return _Int(value < 0, value >= 2**63)
    if isinstance(value, float):
        return DOUBLE
    if isinstance(value, str):
        return TEXT
    if isinstance(value, datetime.datetime):
        return DATE
    if isinstance(value, datetime.timedelta):
        return INTERVAL
    if isinstance(value, list):
        return Seq("{", _infer_all(value))
    if isinstance(value, (set, frozenset)):
        return Seq("[", _infer_all(value))
    if isinstance(value, tuple):
        return Tup([infer(v) for v in value])
    if isinstance(value, range):
        if value.step != 1:
            raise ValueError(f"{describe(value)}: only a range of step 1 has a mekal type")
        return Rng(_unify(infer(value.start), infer(value.stop)))
    raise TypeError(f"{describe(value)}: a {type(value).__name__} has no mekal type")


def _infer_all(values: Any) -> Any:
    elem = None
    for v in values:
        kind = infer(v)
        try:
            elem = _unify(elem, kind)
        except (TypeError, ValueError) as error:
            raise error.__class__(f"{describe(values)}: {error}") from None
    return elem


def _unify(a: Any, b: Any) -> Any:
    """One element type for two elements of one container."""
    if a is None or a is b:
        return b
    # a is returned whenever b adds nothing to it: long containers of
    # alike elements then build no new nodes.
    if isinstance(a, _Int) and isinstance(b, _Int):
        negative, large = a.negative or b.negative, a.large or b.large
        if negative and large:
            raise ValueError("integers below 0 and above 2**63-1 have no common 64-bit type")
        return a if (negative, large) == (a.negative, a.large) else _Int(negative, large)
    if isinstance(a, (Seq, Rng)) and a.__class__ is b.__class__ and \
            (isinstance(a, Rng) or a.open == b.open):
        elem = _unify(a.elem, b.elem)
        return a if elem is a.elem else (Rng(elem) if isinstance(a, Rng) else Seq(a.open, elem))
    if isinstance(a, Tup) and isinstance(b, Tup) and len(a.members) == len(b.members):
        members = [_unify(x, y) for x, y in zip(a.members, b.members)]
        return a if all(m is n for m, n in zip(members, a.members)) else Tup(members)
    raise TypeError("the elements of one list, set or range must be of one kind")


def flat_list(value: list) -> Optional[tuple[bytes, str]]:
    """Type string and struct code of a non-empty list of floats or of
    64-bit ints, which pack in one call; None for any other list."""
    if not value:
        return None
    if all(x.__class__ is float for x in value):
        return b"{%f}", "d"
    if all(x.__class__ is int for x in value):
        low, high = min(value), max(value)
        if -2**63 <= low and high < 2**63:
            return b"{%ld}", "q"
        if 0 <= low and high < 2**64:
            return b"{%lu}", "Q"
    return None


def resolve(node: Any) -> Any:
    """Settles the open integer types; an empty container's elements are
    64-bit integers (any type would do: there are none)."""
    if node is None:
        return SIGNED
    if isinstance(node, _Int):
        return UNSIGNED if node.large else SIGNED
    if isinstance(node, Seq):
        return Seq(node.open, resolve(node.elem))
    if isinstance(node, Rng):
        return Rng(resolve(node.elem))
    if isinstance(node, Tup):
        return Tup([resolve(m) for m in node.members])
    return node


# ------------------------------------------------------------ packing

def _elements(node: Any, value: Any) -> Any:
    if isinstance(node, Rng):
        if isinstance(value, range):
            if value.step != 1:
                raise ValueError(f"{describe(value)}: only a range of step 1 has a mekal type")
            return (value.start, value.stop)
        if isinstance(value, (list, tuple)) and len(value) == 2:
            return value
        raise TypeError(f"{describe(value)} is not a range or a pair")
    if isinstance(value, (list, tuple, set, frozenset)):
        return value
    raise TypeError(f"{describe(value)} is not a list, tuple or set")


def _pack(node: Any, value: Any, codes: list, args: list, keep: list) -> tuple:
    """Appends value's struct codes and arguments; returns its counts."""
    if isinstance(node, Scalar):
        codes.append(node.code)
        args.append(node.adapt(value, keep))
        return ()
    if isinstance(node, Tup):
        if not isinstance(value, (tuple, list)) or len(value) != len(node.members):
            raise TypeError(f"{describe(value)} is not a tuple of {len(node.members)}")
        counts: tuple = (len(node.members),)
        for member, v in zip(node.members, value):
            counts += _pack(member, v, codes, args, keep)
        return counts
    items = _elements(node, value)
    inner = None
    for v in items:
        mine = _pack(node.elem, v, codes, args, keep)
        if inner is None:
            inner = mine
        elif mine != inner:
            # One datatype serves every element, so inner counts are shared.
            raise ValueError(f"{describe(value)} is ragged: its inner containers differ in size")
    if inner is None:
        inner = node.elem.default_counts()
    return inner if isinstance(node, Rng) else (len(items),) + inner


def prepare(value: Any, typestr: Optional[str]) -> tuple[bytes, list, list]:
    """Type string, C arguments (value then counts) and the objects to keep
    alive during the call."""
    if typestr is None:
        node = resolve(infer(value))
        text = node.text()
    else:
        node, text = parse(typestr), typestr
    keep: list = []
    if isinstance(node, Scalar):
        data = node.adapt(value, keep)
        try:
            # The struct code checks the range that the C type would wrap.
            struct.pack("<" + node.code, data)
        except (struct.error, OverflowError) as error:
            raise ValueError(f"{describe(value)} does not fit {text!r}: {error}") from None
        return text.encode(), [node.argument(data)], keep
    codes: list = []
    args: list = []
    counts = _pack(node, value, codes, args, keep)
    if any(c > _INT_MAX for c in counts):
        raise ValueError(f"{describe(value)} has more elements than mekal counts")
    try:
        packed = struct.pack("<" + "".join(codes), *args)
    except (struct.error, OverflowError) as error:
        raise ValueError(f"{describe(value)} does not fit {text!r}: {error}") from None
    if len(packed) > _INT_MAX:
        raise ValueError(f"{describe(value)} is larger than mekal's 2 GiB values")
    buffer = c_char_p(packed)
    keep.append(buffer)
    return text.encode(), [buffer] + [c_int(c) for c in counts], keep


# ------------------------------------------------------------ reading

def decode(data: Optional[bytes]) -> Optional[str]:
    return None if data is None else data.decode("utf-8", "surrogateescape")


def from_seconds(seconds: int) -> Any:
    """An aware UTC datetime, or the seconds when beyond datetime's years."""
    try:
        return EPOCH + datetime.timedelta(seconds=seconds)
    except OverflowError:
        return seconds


def _strict_json(text: str) -> Any:
    def refuse(constant: str) -> Any:
        raise ValueError(constant)
    return json.loads(text, parse_constant=refuse)


def from_json_text(text: str) -> Any:
    """A jsonstring as the JSON it holds, or as text when it is not JSON:
    so a recorded bool, a jsonstring "true", comes back as True."""
    try:
        return _strict_json(text)
    except (ValueError, RecursionError):
        return text


def to_python(datatype: Optional[int], slot: Optional[int]) -> Any:
    """The Python value of a stored value (addresses of its datatype and slot)."""
    if not datatype or not slot:
        return None
    code = Datatype.from_address(datatype).type
    if code in _SIGNED:
        return ctypes.c_int64.from_address(slot).value if _SIGNED[code] == 8 else \
            ctypes.c_int32.from_address(slot).value
    if code in _UNSIGNED:
        return ctypes.c_uint64.from_address(slot).value if _UNSIGNED[code] == 8 else \
            ctypes.c_uint32.from_address(slot).value
    if code == _DOUBLE:
        return c_double.from_address(slot).value
    if code == _DATE:
        return from_seconds(ctypes.c_int64.from_address(slot).value)
    pointer = c_void_p.from_address(slot).value
    if code in _TEXTS:
        if pointer is None:
            return None
        text = ctypes.string_at(pointer).decode("utf-8", "surrogateescape")
        return from_json_text(text) if code == _JSON else text
    if code == _TIMEVAL:
        if pointer is None:
            return None
        tv = Timeval.from_address(pointer)
        return interval(tv.tv_sec, tv.tv_usec)
    if _RANGE <= code <= _TUPLE:
        return _container(code, datatype, slot)
    return None


def interval(seconds: int, micros: int) -> Any:
    try:
        return datetime.timedelta(seconds=seconds, microseconds=micros)
    except OverflowError:
        return seconds + micros / 1e6


def _container(code: int, datatype: int, slot: int) -> Any:
    items: list = []
    subtype = c_void_p()
    subvalue = Value()
    for i in range(lib.mekal_num_subvals(datatype)):
        if lib.mekal_get_subval(datatype, slot, i, byref(subtype), byref(subvalue)) != 0:
            items.append(None)
        else:
            items.append(to_python(subtype.value, ctypes.addressof(subvalue)))
    return shape(code, items)


def shape(code: int, items: list) -> Any:
    """The Python container of a mekal container's elements. Sets come back
    as lists: mekal's sets keep order and repeats (the command line is one)."""
    if code == _TUPLE:
        return tuple(items)
    if code == _RANGE:
        if len(items) == 2 and all(type(x) is int for x in items):
            return range(items[0], items[1])
        return tuple(items)
    return items


# ------------------------------------------------------------ run records

def from_record(typestr: Optional[str], value: Any) -> Any:
    """A value of a run record (JSON read with Decimal numbers) as the
    Python object get() would give, led by its type string."""
    try:
        node = parse(typestr) if typestr else None
    except ValueError:
        node = None
    return _from_record(node, value)


def _from_record(node: Any, value: Any) -> Any:
    if value is None:
        return None
    if node is INTERVAL and isinstance(value, (int, Decimal)):
        return interval(0, int(Decimal(value) * 1_000_000))
    if node is DATE and isinstance(value, str):
        try:
            return datetime.datetime.fromisoformat(value.replace("Z", "+00:00"))
        except ValueError:  # year 0, which datetime lacks
            return value
    if isinstance(node, Scalar):
        return plain(value)
    if isinstance(node, (Seq, Rng, Tup)) and isinstance(value, list):
        if isinstance(node, Tup):
            members = node.members
            if len(members) == len(value):
                return tuple(_from_record(m, v) for m, v in zip(members, value))
            return tuple(plain(v) for v in value)
        items = [_from_record(node.elem, v) for v in value]
        return shape(_RANGE if isinstance(node, Rng) else _LIST, items)
    return plain(value)


def plain(value: Any) -> Any:
    """JSON read with Decimal numbers, with floats again."""
    if isinstance(value, Decimal):
        return float(value)
    if isinstance(value, list):
        return [plain(v) for v in value]
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    return value
