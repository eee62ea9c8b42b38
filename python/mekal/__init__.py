"""mekal for Python: record metadata about this run as named, typed values.

Values recorded here and by C, C++ or Fortran code of the same process
share one registry: they reach the same observers and, under mekal-run,
the same run record.

    >>> import mekal
    >>> mekal.record("mesh", "box-64", subcategory="inputs")
    >>> mekal.record("tolerances", [1e-6, 1e-9])
    >>> mekal.get("tolerances")
    [1e-06, 1e-09]
    >>> with mekal.observe(print):
    ...     mekal.record("step", 3)
    step 3 2 None

The library is libmekal.so.0: $MEKAL_LIBRARY when set, else the one
installed with this package, else the dynamic linker's search. Calls from
Python threads are serialised (the GIL is held during each call); the
library's other callers in the process serialise with them themselves.
mekal.records reads run records into Python objects and pandas.
"""
from ._core import (ALL, CONTROL, GENERAL, PERFORMANCE, Category, Error, Observer, clean,
                    collect_all, environment, fini, get, hostinfo, items, jobinfo, names,
                    observe, record, to_json)
from ._lib import library_path

__version__ = "0.5.0"

__all__ = ["ALL", "CONTROL", "GENERAL", "PERFORMANCE", "Category", "Error", "Observer",
           "clean", "collect_all", "environment", "fini", "get", "hostinfo", "items",
           "jobinfo", "library_path", "names", "observe", "record", "to_json"]
