"""Run records written by mekal-run, as Python objects and as pandas frames.

    >>> import mekal.records
    >>> run = mekal.records.load("run.json")
    >>> run.values["walltime"]           # a datetime.timedelta
    >>> df = mekal.records.frame("runs/")  # one row per run

Values are converted as mekal.get() converts them, led by each value's
type string: dates to aware UTC datetimes, intervals to timedeltas, sets
and lists to lists, tuples to tuples, integer ranges to range. pandas is
imported by frame() only.
"""
from __future__ import annotations

import dataclasses
import datetime
import json
import os
from decimal import Decimal
from typing import Any, Optional, Union

from ._values import from_record, plain

SCHEMA = "mekal-run-record"
SCHEMA_VERSION = 1

PathLike = Union[str, "os.PathLike[str]"]


class RecordError(ValueError):
    """A file that is not a run record this module reads; the message
    names the file and the reason."""


@dataclasses.dataclass(frozen=True)
class Entry:
    """One value of a record. For a value that differs between the ranks of
    an MPI job, value is a dict of rank to value, and type and long_type are
    those of the lowest rank (None when the ranks' types differ)."""

    name: str
    value: Any
    category: Optional[int]
    subcategory: Optional[str]
    type: Optional[str]
    long_type: Optional[str]
    recorded: Optional[datetime.datetime]


@dataclasses.dataclass(frozen=True)
class Record:
    """One run record: its header and its values, oldest first."""

    path: str
    complete: bool
    exit_status: Optional[int]
    program: dict
    mpi: Optional[dict]
    entries: list

    @property
    def values(self) -> dict:
        """Name to value, in the record's order."""
        return {e.name: e.value for e in self.entries}


def _fail(path: str, reason: str) -> RecordError:
    return RecordError(f"{path}: {reason}")


def _recorded(text: Any) -> Optional[datetime.datetime]:
    """"2026-12-08T22:29:00.123456789Z", to the microsecond."""
    if not isinstance(text, str) or len(text) != 30:
        return None
    try:
        return datetime.datetime.strptime(text[:26], "%Y-%m-%dT%H:%M:%S.%f").replace(
            tzinfo=datetime.timezone.utc)
    except ValueError:
        return None


def _entry(path: str, where: str, item: Any) -> Entry:
    if not isinstance(item, dict) or not isinstance(item.get("name"), str):
        raise _fail(path, f"not a run record ({where} has no name)")
    if "ranks" in item:
        ranks = item["ranks"]
        if not isinstance(ranks, list) or not all(isinstance(r, dict) for r in ranks):
            raise _fail(path, f"not a run record ({where} has no list of ranks)")
        value = {r.get("rank"): from_record(r.get("type"), r.get("value")) for r in ranks}
    elif "value" in item:
        value = from_record(item.get("type"), item["value"])
    else:
        raise _fail(path, f"not a run record ({where} has no value)")
    return Entry(item["name"], value, item.get("category"), item.get("subcategory"),
                 item.get("type"), item.get("long_type"), _recorded(item.get("recorded")))


def load(path: PathLike) -> Record:
    """Read one run record. Raises RecordError naming the file when it is
    not JSON or not a run record of a known schema version, OSError when it
    cannot be read."""
    path = os.fspath(path)
    with open(path, "rb") as f:
        data = f.read()
    try:
        # Decimal keeps intervals' six decimals exact.
        document = json.loads(data, parse_float=Decimal)
    except (ValueError, RecursionError) as error:
        raise _fail(path, f"not JSON ({error})") from None
    if not isinstance(document, dict):
        raise _fail(path, "not a run record (not a JSON object)")
    if "schema" not in document:
        raise _fail(path, 'not a run record (no "schema")')
    if document["schema"] != SCHEMA:
        raise _fail(path, f"not a run record (schema {json.dumps(plain(document['schema']))})")
    if document.get("schema_version") != SCHEMA_VERSION:
        raise _fail(path, f"schema_version {json.dumps(plain(document.get('schema_version')))}"
                          f" is unknown (this module reads {SCHEMA_VERSION})")
    values = document.get("values")
    if not isinstance(values, list):
        raise _fail(path, 'not a run record (no "values" array)')
    if not isinstance(document.get("program"), dict):
        raise _fail(path, 'not a run record (no "program")')
    entries, seen = [], set()
    for i, item in enumerate(values):
        entry = _entry(path, f"values[{i}]", item)
        if entry.name in seen:
            raise _fail(path, f"not a run record (values[{i}] repeats the name {entry.name!r})")
        seen.add(entry.name)
        entries.append(entry)
    return Record(path, bool(document.get("complete")), document.get("exit_status"),
                  plain(document["program"]), plain(document.get("mpi")), entries)


def _files(paths: tuple) -> list:
    """The files named, and the *.json files of the directories named (sorted)."""
    found = []
    for p in paths:
        p = os.fspath(p)
        if os.path.isdir(p):
            found.extend(sorted(os.path.join(p, n) for n in os.listdir(p)
                                if n.endswith(".json") and os.path.isfile(os.path.join(p, n))))
        else:
            found.append(p)
    return found


# The header's columns; a value of the same name gets a "value:" prefix.
HEADER = ("path", "complete", "exit_status", "program.executable", "program.argv",
          "program.pid", "program.host", "mpi.size")


def frame(*paths: PathLike) -> Any:
    """A pandas DataFrame with one row per run record: the header (HEADER:
    path, complete, exit_status, program.*, mpi.size) and one column per
    value name, in order of first appearance; a run without a value has NaN
    there. Paths are files or directories of *.json files."""
    import pandas  # type: ignore[import]  # only here: nothing else needs pandas

    rows: list = []
    names: dict = {}
    for path in _files(paths):
        run = load(path)
        program = run.program
        row = {"path": run.path, "complete": run.complete, "exit_status": run.exit_status,
               "program.executable": program.get("executable"),
               "program.argv": program.get("argv"), "program.pid": program.get("pid"),
               "program.host": program.get("host"),
               "mpi.size": run.mpi.get("size") if run.mpi else None}
        for entry in run.entries:
            column = "value:" + entry.name if entry.name in HEADER else entry.name
            names.setdefault(column, None)
            row[column] = entry.value
        rows.append(row)
    return pandas.DataFrame(rows, columns=list(HEADER) + list(names))
