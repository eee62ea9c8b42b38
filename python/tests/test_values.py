import os
import sys
from datetime import datetime, timedelta, timezone

import pytest

import mekal

UTC = timezone.utc
DAY = datetime(2026, 12, 8, 22, 29, tzinfo=UTC)

# value, type= (None: deduced), type string and JSON as the library holds
# them, what get() gives back.
ROUND_TRIPS = [
    (42, None, "%ld", "42", 42),
    (-2**63, None, "%ld", "-9223372036854775808", -2**63),
    (2**64 - 1, None, "%lu", "18446744073709551615", 2**64 - 1),
    (0.1, None, "%f", "0.1", 0.1),
    ("zürich", None, "%s", '"zürich"', "zürich"),
    ("a\udcff", None, "%s", '"a\ufffd"', "a\udcff"),
    (True, None, "%j", "true", True),
    (False, None, "%j", "false", False),
    (DAY.replace(microsecond=999999), None, "%D", '"2026-12-08T22:29:00Z"', DAY),
    (timedelta(seconds=-1.5), None, "%t", "-1.500000", timedelta(seconds=-1.5)),
    ([1.5, 2.5], None, "{%f}", "[1.5,2.5]", [1.5, 2.5]),
    ({3}, None, "[%ld]", "[3]", [3]),
    (("a", 1, [True]), None, "(%s, %ld, {%j})", '["a",1,[true]]', ("a", 1, [True])),
    (range(2, 9), None, "<%ld>", "[2,9]", range(2, 9)),
    ([[1, 2], [3, 4]], None, "{{%ld}}", "[[1,2],[3,4]]", [[1, 2], [3, 4]]),
    ([(-1, "x"), (2, "y")], None, "{(%ld, %s)}", '[[-1,"x"],[2,"y"]]', [(-1, "x"), (2, "y")]),
    ([1, 2**63], None, "{%lu}", "[1,9223372036854775808]", [1, 2**63]),
    ([[], []], None, "{{%ld}}", "[[],[]]", [[], []]),
    (200, "%u8", "%u", "200", 200),
    (-3, "%i16", "%d", "-3", -3),
    ([1, 2, 300], "[%u16]", "[%u]", "[1,2,300]", [1, 2, 300]),
    ((7, "b", 0.5), "(%i8,%s,%f32)", "(%d, %s, %f)", '[7,"b",0.5]', (7, "b", 0.5)),
    ("/tmp/x", "%p", "%p", '"/tmp/x"', "/tmp/x"),
    ('{"a":[1]}', "%j", "%j", '{"a":[1]}', {"a": [1]}),
    ("not json", "%j", "%j", '"not json"', "not json"),
    (90, "%t", "%t", "90.000000", timedelta(seconds=90)),
    (1700000000, "%D", "%D", '"2023-11-14T22:13:20Z"', datetime.fromtimestamp(1700000000, UTC)),
    ((1.0, 2.0), "<%f>", "<%f>", "[1.0,2.0]", (1.0, 2.0)),
    ([], "[[%d]]", "[[%d]]", "[]", []),
]


@pytest.mark.parametrize("value, typestr, c_type, c_json, back", ROUND_TRIPS)
def test_values_read_back_through_c_and_get(c_side, value, typestr, c_type, c_json, back):
    mekal.record("v", value, type=typestr, subcategory="sub", category=mekal.PERFORMANCE)
    assert c_side("v") == (c_type, c_json)
    assert type(mekal.get("v")) is type(back) and mekal.get("v") == back
    assert mekal.items() == [("v", back, mekal.PERFORMANCE, "sub")]


REFUSED = [
    (2**64, None, ValueError), (-2**63 - 1, None, ValueError), ([1, "a"], None, TypeError),
    ([1, 2.0], None, TypeError), ([True, 1], None, TypeError), ([[1], [1, 2]], None, ValueError),
    ([-1, 2**63], None, ValueError), (object(), None, TypeError), ({"a": 1}, None, TypeError),
    (b"x", None, TypeError), (range(0, 9, 2), None, ValueError), ("a\0b", None, ValueError),
    (300, "%u8", ValueError), ([1, 256], "[%u8]", ValueError), (1e300, "%f32", ValueError),
    ("x", "%d", TypeError), (1.5, "%d", TypeError), ((1,), "(%d,%s)", TypeError),
    ([1], "[%d", ValueError), (1, "&%d", ValueError), (1, "%q", ValueError),
    (1, "%d8", ValueError), (1, "%d %d", ValueError), ([1], "[%d,%s]", ValueError),
]


@pytest.mark.parametrize("value, typestr, error", REFUSED)
def test_refused_values_name_the_value_and_record_nothing(value, typestr, error):
    mekal.record("kept", 1)
    for name in ("kept", "new"):
        with pytest.raises(error, match=r"mekal\.record\('%s'\)" % name) as raised:
            mekal.record(name, value, type=typestr)
        assert repr(value)[:8] in str(raised.value) or typestr in str(raised.value)
    assert mekal.items() == [("kept", 1, mekal.GENERAL, None)]


def test_a_refusal_by_the_library_raises_mekal_error(monkeypatch):
    class Refusing:
        def __getattr__(self, name):
            return lambda *args: -1
    monkeypatch.setattr(mekal._core, "lib", Refusing())
    with pytest.raises(mekal.Error, match="'x'"):
        mekal.record("x", [1])


def test_names_items_and_json_list_categories_oldest_first():
    mekal.record("a", 1)
    mekal.record("b", 2.5, category=mekal.PERFORMANCE, subcategory="t")
    mekal.record("a", "again")
    assert mekal.names() == ["a", "b"] and mekal.names(mekal.PERFORMANCE) == ["b"]
    assert mekal.items(mekal.GENERAL) == [("a", "again", mekal.GENERAL, None)]
    assert [line.count('"name"') for line in mekal.to_json().splitlines()] == [0, 1, 1, 0]
    assert mekal.get("missing") is None


def test_collectors_record_the_run():
    assert mekal.collect_all() and mekal.hostinfo()
    assert mekal.environment("PATH") and not mekal.environment("NO_SUCH_PREFIX_")
    assert mekal.get("executablepath") == os.path.realpath(sys.executable)
    assert mekal.get("environment") == [("PATH", os.environ["PATH"])]
