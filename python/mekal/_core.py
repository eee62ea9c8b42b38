"""Recording, looking up and observing values in the process's registry."""
from __future__ import annotations

import atexit
import datetime
import enum
import itertools
import struct
from ctypes import byref, c_char_p, c_double, c_int, c_long, c_void_p, string_at
from typing import Any, Callable, Iterable, Optional, Union

from . import _values
from ._lib import InfoCallback, PlainCallback, ValueInfo, free, lib
from ._values import decode, describe, encode


class Category(enum.IntEnum):
    """Category codes (mekal_category_t); any other int is stored alike."""

    ALL = 1          #: wildcard of observers and listings
    GENERAL = 2      #: run metadata; every built-in collector
    PERFORMANCE = 3  #: the timings that fini() records
    CONTROL = 4      #: control events ("fini", "clean"); never stored


ALL, GENERAL = Category.ALL, Category.GENERAL
PERFORMANCE, CONTROL = Category.PERFORMANCE, Category.CONTROL


class Error(Exception):
    """The library refused a call."""


# Names are few and recorded again and again: their encoded form is kept.
_names: dict[str, bytes] = {}


def _name(name: str) -> bytes:
    if not isinstance(name, str):
        raise TypeError(f"a name is a str, not {type(name).__name__}")
    data = _names.get(name)
    if data is None:
        data = encode(name, "name")
        if len(_names) >= 4096:
            _names.clear()
        _names[name] = data
    return data


def _category(category: int) -> int:
    if category.__class__ is Category:
        return category
    if not isinstance(category, int) or not -2**31 <= category < 2**31:
        raise ValueError(f"category {category!r} is not a 32-bit int")
    return int(category)


# ------------------------------------------------------------ recording

def record(name: str, value: Any, *, category: int = GENERAL,
           subcategory: Optional[str] = None, type: Optional[str] = None) -> None:
    """Record value under name, replacing an earlier value of that name.

    The type follows the value: int as "%ld" (or "%lu" when it needs 64
    bits unsigned), float "%f", str "%s", bool the jsonstring "true" or
    "false" ("%j"), datetime "%D" (whole seconds; a naive one is local
    time), timedelta "%t" (microseconds), list "{...}", set and frozenset
    "[...]", tuple "(...)" and range (step 1) "<%ld>", nested. type= gives
    the type string instead ("%i8", "[%u16]", "(%s,%f32)", "%p", ...).

    Raises TypeError or ValueError, recording nothing, for a value that has
    no such type (an int beyond 64 bits, a list mixing kinds, a ragged
    nesting, an unsupported object); mekal.Error when the library refuses.
    """
    try:
        bname = _name(name)
        bsub = None if subcategory is None else encode(subcategory, "subcategory")
        category = _category(category)
        # The common scalars and flat lists of numbers skip the general
        # path, whose type inference and packing cost several C calls.
        kind = value.__class__
        if type is None and kind is int and -2**63 <= value < 2**63:
            rc = lib.mekal_namevalue(bname, category, bsub, b"%ld", c_long(value))
        elif type is None and kind is float:
            rc = lib.mekal_namevalue(bname, category, bsub, b"%f", c_double(value))
        elif type is None and kind is str:
            rc = lib.mekal_namevalue(bname, category, bsub, b"%s", c_char_p(encode(value)))
        elif type is None and kind is list and (flat := _values.flat_list(value)):
            typestr, code = flat
            packed = c_char_p(struct.pack("<%d%s" % (len(value), code), *value))
            rc = lib.mekal_namevalue(bname, category, bsub, typestr, packed, c_int(len(value)))
        else:
            if type is not None and not isinstance(type, str):
                raise TypeError(f"type= is a type string, not {describe(type)}")
            typestr, args, keep = _values.prepare(value, type)
            rc = lib.mekal_namevalue(bname, category, bsub, typestr, *args)
            del keep  # the library has copied what these held
    except (TypeError, ValueError, OverflowError) as error:
        kind = TypeError if isinstance(error, TypeError) else ValueError
        raise kind(f"mekal.record({name!r}): {error}") from None
    if rc != 0:
        raise Error(f"mekal.record({name!r}): the library refused {describe(value)}")


# ------------------------------------------------------------ lookups

def get(name: str) -> Any:
    """The value recorded under name, or None when there is none.

    Containers are rebuilt element by element: lists and sets as lists
    (mekal's sets keep order and repeats), tuples as tuples, ranges of
    integers as range; dates as aware UTC datetimes, intervals as
    timedeltas, jsonstrings as the JSON they hold (so a bool comes back).
    """
    datatype, slot = c_void_p(), c_void_p()
    if lib.mekal_get_nameval(_name(name), byref(datatype), byref(slot), None, None) != 0:
        return None
    return _values.to_python(datatype.value, slot.value)


def _listing(category: int, convert: bool) -> list:
    found: list = []
    failed: list = []

    def visit(name, cat, sub, slot, datatype, opaque):  # type: ignore[no-untyped-def]
        try:
            if convert:
                found.append((decode(name), _values.to_python(datatype, slot), cat, decode(sub)))
            else:
                found.append(decode(name))
        except BaseException as error:  # raised after the walk, not lost in ctypes
            failed.append(error)

    lib.mekal_list_namevals(1, _category(category), PlainCallback(visit), None)
    if failed:
        raise failed[0]
    found.reverse()  # the library lists newest first
    return found


def names(category: int = ALL) -> list[str]:
    """Names of the stored values of a category (ALL: every one), oldest first."""
    return _listing(category, False)


def items(category: int = ALL) -> list[tuple[str, Any, int, Optional[str]]]:
    """(name, value, category, subcategory) of the stored values, oldest first."""
    return _listing(category, True)


# ------------------------------------------------------------ observing

# The registered observers by key. The C side holds only the key (as the
# opaque pointer) and one of two trampolines that live as long as the
# module, so a handle closed inside its own callback frees nothing that
# is running.
_observers: dict[int, tuple[Callable[..., Any], bool]] = {}
_keys = itertools.count(1)
_watching = False


def _deliver(key: Optional[int], name: bytes, slot: int, datatype: int, category: int,
             subcategory: Optional[bytes], info: Optional[ValueInfo]) -> None:
    entry = _observers.get(key) if key else None
    if entry is None:
        return
    callback, with_info = entry
    value = _values.to_python(datatype, slot)
    arguments = [decode(name), value, category, decode(subcategory)]
    if with_info and info is not None:
        stamp = info.timestamp
        arguments.append(_values.EPOCH + datetime.timedelta(
            seconds=stamp.tv_sec, microseconds=stamp.tv_nsec // 1000))
    try:
        callback(*arguments)
    except BaseException as error:
        # ctypes hands what escapes a callback to sys.unraisablehook; the
        # C side goes on with the next observer.
        if hasattr(error, "add_note"):
            error.add_note(f"in the mekal observer {callback!r} of {decode(name)!r}")
        raise


@PlainCallback
def _plain_trampoline(name, category, subcategory, slot, datatype, opaque):  # type: ignore
    if opaque is None:
        _watch(name)
    else:
        _deliver(opaque, name, slot, datatype, category, subcategory, None)


@InfoCallback
def _info_trampoline(name, slot, datatype, info, opaque):  # type: ignore
    record = ValueInfo.from_address(info)
    _deliver(opaque, name, slot, datatype, record.category, record.subcategory, record)


def _watch(name: bytes) -> None:
    """The control event "clean" releases every observer: the handles
    close with it, and observe() registers the watcher again."""
    if name == b"clean":
        _close_all()


def _close_all() -> None:
    global _watching
    for key in list(_observers):
        _unregister(key)
    lib.mekal_unregister_cb(_plain_trampoline, None)
    _watching = False


def _unregister(key: int) -> None:
    entry = _observers.pop(key, None)
    if entry is not None:
        if entry[1]:
            lib.mekal_unregister_cb_with_info(_info_trampoline, key)
        else:
            lib.mekal_unregister_cb(_plain_trampoline, key)


# After the interpreter is gone no callback may reach it: C code may still
# record when the process exits (an exit handler, a library's destructor
# calling mekal_fini), after Python's end.
atexit.register(_close_all)


class Observer:
    """An observer registered by observe(). close() (or leaving the with
    block, or the handle's garbage collection) unregisters it; closing it
    inside its own callback is safe."""

    def __init__(self, key: int) -> None:
        self._key = key

    @property
    def closed(self) -> bool:
        return self._key not in _observers

    def close(self) -> None:
        """Unregister the observer; later calls do nothing."""
        _unregister(self._key)

    def __enter__(self) -> Observer:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # interpreter shutdown: the module may be gone
            pass


def observe(callback: Callable[..., Any], *, categories: Union[int, Iterable[int]] = ALL,
            with_info: bool = False) -> Observer:
    """Call callback(name, value, category, subcategory) for every later
    recording of the categories (ALL: every one, control events included),
    on the recording thread, inside the recording call. With with_info the
    time the value was recorded (an aware UTC datetime) comes as a fifth
    argument. Values recorded from C, C++ or Fortran code of the process
    arrive too.

    Keep the returned handle: when it is closed or collected the observer
    is unregistered. An exception raised by callback goes to
    sys.unraisablehook and the other observers still receive the value.
    """
    global _watching
    if not callable(callback):
        raise TypeError(f"{describe(callback)} is not callable")
    wanted = [categories] if isinstance(categories, int) else list(categories)
    filters = [_category(c) for c in wanted]
    if not _watching:
        lib.mekal_register_cb(1, CONTROL, _plain_trampoline, 1, None)
        _watching = True
    key = next(_keys)
    _observers[key] = (callback, with_info)
    for category in filters:
        if with_info:
            lib.mekal_register_cb_with_info(1, category, _info_trampoline, 0, key)
        else:
            lib.mekal_register_cb(1, category, _plain_trampoline, 0, key)
    return Observer(key)


# ------------------------------------------------------------ the run

def collect_all() -> bool:
    """Record the standard facts of the run (user, host, executable,
    command line, ...); False when none could be recorded."""
    return lib.mekal_collect_all() == 0


def hostinfo() -> bool:
    """Record the host's facts (CPU, caches, memory, OS, ...), subcategory "host"."""
    return lib.mekal_hostinfo() == 0


def jobinfo() -> bool:
    """Record the batch job's facts (scheduler, id, nodes, ...); False outside a job."""
    return lib.mekal_jobinfo() == 0


def environment(*prefixes: str) -> bool:
    """Record the environment variables whose names start with one of the
    prefixes ("" matches all) as one value "environment"; False when none
    matches."""
    array = (c_char_p * max(len(prefixes), 1))(*(encode(p, "prefix") for p in prefixes))
    return lib.mekal_environment(array, len(prefixes)) == 0


def fini() -> None:
    """Record the timings asked for and send the control event "fini"."""
    lib.mekal_fini()


def clean() -> None:
    """Send the control event "clean", then release every value and every
    observer of the process (the handles of observe() close)."""
    lib.mekal_clean()


def to_json(category: int = ALL) -> str:
    """Every stored value of a category as the library's JSON document:
    one object per line, oldest first."""
    text = lib.mekal_namevals_to_json(_category(category))
    if not text:
        raise Error("mekal.to_json: the library could not render the values")
    try:
        return string_at(text).decode("utf-8")
    finally:
        free(text)
