import os
import subprocess
import sys
from datetime import datetime, timedelta, timezone

import pytest

import mekal.records

DRIVER = """
import ctypes, datetime, os, sys
import mekal
i = int(sys.argv[1])
mekal.record("n", i, subcategory="inputs")
mekal.record("started", datetime.datetime(2026, 1, 1, i, tzinfo=datetime.timezone.utc))
mekal.record("elapsed", datetime.timedelta(seconds=i + 0.25))
mekal.record("shape", [(i, "x")] * i)
kept = mekal.observe(lambda *event: None)  # open at exit: mekal-run still finishes
ctypes.CDLL(os.environ["MEKAL_TEST_HELPER"]).record_from_c(10 * i)
sys.exit(3 if i == 2 else 0)
"""


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """Three runs of a Python driver under mekal-run."""
    where = tmp_path_factory.mktemp("runs")
    (where / "driver.py").write_text(DRIVER)
    for i in range(3):
        status = subprocess.call([os.environ["MEKAL_RUN"], "-o", str(where / "run-%p.json"), "--",
                                  sys.executable, str(where / "driver.py"), str(i)])
        assert status == (3 if i == 2 else 0)
    return where


def test_frame_has_one_row_per_run_with_python_and_c_values(runs):
    if os.environ.get("MEKAL_REQUIRE_ALL") != "1":
        pytest.importorskip("pandas")
    import pandas
    df = mekal.records.frame(runs).sort_values("n").reset_index(drop=True)
    assert list(df.columns[:8]) == list(mekal.records.HEADER)
    assert df["n"].tolist() == [0, 1, 2] and df["exit_status"].tolist() == [0, 0, 3]
    assert df["complete"].all() and df["c_iterations"].tolist() == [0, 10, 20]
    assert df["c_inputs"][0] == ["mesh.h5", "params.toml"]
    assert df["shape"].tolist() == [[], [(1, "x")], [(2, "x"), (2, "x")]]
    assert str(df["started"].dt.tz) == "UTC" and df["started"][2].hour == 2
    assert df["elapsed"].tolist() == list(pandas.to_timedelta([0.25, 1.25, 2.25], unit="s"))
    assert df["walltime"].dtype.kind == "m" and df["program.argv"][1][-1] == "1"


def test_load_converts_values_by_their_type(runs):
    run = mekal.records.load(sorted(runs.glob("run-*.json"))[0])
    entry = next(e for e in run.entries if e.name == "n")
    assert (entry.subcategory, entry.type, entry.value) == ("inputs", "%ld", run.values["n"])
    assert run.values["started"] == datetime(2026, 1, 1, entry.value, tzinfo=timezone.utc)
    assert run.values["elapsed"] == timedelta(seconds=entry.value + 0.25)
    assert abs(entry.recorded - datetime.now(timezone.utc)) < timedelta(minutes=5)


HEADER = '{"schema":"mekal-run-record","schema_version":1,"complete":true,"exit_status":0,'
INVALID = [
    ("{", "not JSON"), ("[]", "not a JSON object"), ('{"x":1}', 'no "schema"'),
    ('{"schema":"mekal-run-record","schema_version":2}', "schema_version 2 is unknown"),
    (HEADER + '"program":{},"values":{}}', 'no "values" array'),
    (HEADER + '"program":{},"values":[{"name":"a","value":1},{"name":"a","value":2}]}',
     "repeats the name 'a'"),
]


@pytest.mark.parametrize("text, reason", INVALID)
def test_an_invalid_record_is_named_with_the_reason(tmp_path, text, reason):
    path = tmp_path / "bad.json"
    path.write_text(text)
    with pytest.raises(mekal.records.RecordError) as raised:
        mekal.records.load(path)
    assert str(raised.value).startswith(f"{path}: ") and reason in str(raised.value)
