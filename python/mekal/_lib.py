"""Finding and loading libmekal.so.0, and the C interface declared once."""
from __future__ import annotations

import ctypes
import os
from ctypes import (CFUNCTYPE, POINTER, Structure, Union, c_char_p, c_double, c_int,
                    c_int32, c_int64, c_long, c_uint64, c_void_p)

SONAME = "libmekal.so.0"


class Datatype(Structure):
    """mekal_datatype_t: shared by every copy of the library, 40 bytes."""

    _fields_ = [("type", c_int32), ("numerical", c_int32), ("num_elements", c_int32),
                ("num_subtypes", c_int32), ("subtypes", c_void_p),
                ("is_reference", c_int32), ("num_ref_elements", c_int32),
                ("base_size", c_uint64)]


class Value(Union):
    """mekal_value_t: one 8-byte value slot."""

    _fields_ = [("as_long", c_int64), ("as_int", c_int32), ("as_double", c_double),
                ("as_ptr", c_void_p)]


class Timespec(Structure):
    _fields_ = [("tv_sec", c_long), ("tv_nsec", c_long)]


class Timeval(Structure):
    _fields_ = [("tv_sec", c_long), ("tv_usec", c_long)]


class ValueInfo(Structure):
    """mekal_value_info_t: the info record of one recording, 32 bytes."""

    _fields_ = [("category", c_int32), ("subcategory", c_char_p), ("timestamp", Timespec)]


# A wrong layout here would read other fields' bytes without any error.
assert ctypes.sizeof(Datatype) == 40 and ctypes.sizeof(ValueInfo) == 32
assert ctypes.sizeof(Value) == 8 and ctypes.sizeof(Timeval) == 16

# Pointers travel as plain addresses: reading a record with from_address is
# cheaper than building a ctypes pointer object for every argument.
PlainCallback = CFUNCTYPE(None, c_char_p, c_int32, c_char_p, c_void_p, c_void_p, c_void_p)
InfoCallback = CFUNCTYPE(None, c_char_p, c_void_p, c_void_p, c_void_p, c_void_p)

_SIGNATURES = {
    "mekal_namevalue": (c_int, [c_char_p, c_int32, c_char_p, c_char_p]),
    "mekal_get_nameval": (c_int, [c_char_p, c_void_p, c_void_p, c_void_p, c_void_p]),
    "mekal_list_namevals": (None, [c_int, c_int32, PlainCallback, c_void_p]),
    "mekal_register_cb": (None, [c_int, c_int32, PlainCallback, c_int, c_void_p]),
    "mekal_register_cb_with_info": (None, [c_int, c_int32, InfoCallback, c_int, c_void_p]),
    "mekal_unregister_cb": (c_int, [PlainCallback, c_void_p]),
    "mekal_unregister_cb_with_info": (c_int, [InfoCallback, c_void_p]),
    "mekal_num_subvals": (c_int, [c_void_p]),
    "mekal_get_subval": (c_int, [c_void_p, c_void_p, c_int, c_void_p, c_void_p]),
    "mekal_namevals_to_json": (c_void_p, [c_int32]),
    "mekal_collect_all": (c_int, []),
    "mekal_hostinfo": (c_int, []),
    "mekal_jobinfo": (c_int, []),
    "mekal_environment": (c_int, [POINTER(c_char_p), c_int]),
    "mekal_fini": (None, []),
    "mekal_clean": (c_int, []),
}


def _candidates() -> list[tuple[str, str]]:
    """(what, path) pairs to try, in order."""
    chosen = os.environ.get("MEKAL_LIBRARY")
    if chosen:
        # Asked for by name: a failure must not fall back to another copy.
        return [("$MEKAL_LIBRARY", chosen)]
    found = []
    try:
        from ._library_path import LIBRARY  # type: ignore[import]  # written by the install
    except ImportError:
        pass
    else:
        here = os.path.dirname(os.path.abspath(__file__))
        found.append(("the library installed with the package",
                      os.path.normpath(os.path.join(here, LIBRARY))))
    # A name without a slash: the dynamic linker's own search, which also
    # finds a copy already loaded into the process (by mekal-run's recorder).
    found.append(("the system's search", SONAME))
    return found


def load() -> tuple[ctypes.PyDLL, str]:
    """The library with every function declared, and the path it came from.

    PyDLL keeps the GIL during calls, which serialises the Python threads'
    calls into the library as it requires. RTLD_GLOBAL lets C, C++ and
    Fortran code loaded later resolve to the same copy.
    """
    tried = []
    for what, path in _candidates():
        try:
            lib = ctypes.PyDLL(path, mode=ctypes.RTLD_GLOBAL)
        except OSError as error:
            tried.append(f"{what} ({path}): {error}")
            continue
        try:
            for name, (restype, argtypes) in _SIGNATURES.items():
                function = getattr(lib, name)
                function.restype = restype
                function.argtypes = argtypes
        except AttributeError as error:
            tried.append(f"{what} ({path}): too old for this package ({error})")
            continue
        return lib, path
    raise ImportError("mekal: cannot load " + SONAME + "; tried " + "; ".join(tried) +
                      ". Set MEKAL_LIBRARY to the library's path.")


lib, library_path = load()
# Texts that the library returns belong to the caller, who frees them with
# the C library's free.
free = ctypes.CDLL(None).free
free.argtypes = [c_void_p]
free.restype = None
