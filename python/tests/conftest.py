import ctypes
import os

import pytest

import mekal


@pytest.fixture(autouse=True)
def empty_registry():
    yield
    mekal.clean()


@pytest.fixture(scope="session")
def c_side():
    """The library's own view of a stored value: (type string, JSON)."""
    lib = ctypes.CDLL(mekal.library_path)
    lib.mekal_type_to_string.restype = lib.mekal_value_to_json.restype = ctypes.c_void_p
    lib.mekal_type_to_string.argtypes = [ctypes.c_void_p, ctypes.c_int]
    lib.mekal_value_to_json.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    free = ctypes.CDLL(None).free
    free.argtypes = [ctypes.c_void_p]

    def text(pointer):
        try:
            return ctypes.string_at(pointer).decode()
        finally:
            free(pointer)

    def lookup(name):
        datatype, value = ctypes.c_void_p(), ctypes.c_void_p()
        if lib.mekal_get_nameval(name.encode(), ctypes.byref(datatype), ctypes.byref(value),
                                 None, None) != 0:
            return None
        return (text(lib.mekal_type_to_string(datatype, 0)),
                text(lib.mekal_value_to_json(value, datatype)))
    return lookup


@pytest.fixture(scope="session")
def c_recorder():
    helper = ctypes.CDLL(os.environ["MEKAL_TEST_HELPER"])
    return helper.record_from_c
