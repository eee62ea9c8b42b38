import gc
from datetime import datetime, timezone

import mekal


def test_values_recorded_from_c_reach_get_and_python_observers(c_recorder):
    seen = []
    with mekal.observe(lambda *event: seen.append(event), with_info=True) as handle:
        before = datetime.now(timezone.utc)
        assert c_recorder(7) == 0
        mekal.record("py", 1.5, subcategory="driver")
    assert handle.closed
    assert [e[:4] for e in seen] == [("c_iterations", 7, mekal.GENERAL, "solver"),
                                     ("c_inputs", ["mesh.h5", "params.toml"], 2, "io"),
                                     ("py", 1.5, 2, "driver")]
    assert all(before.replace(microsecond=0) <= e[4] <= datetime.now(timezone.utc) for e in seen)
    assert mekal.get("c_iterations") == 7 and mekal.names() == ["c_iterations", "c_inputs", "py"]


def test_observers_see_only_their_categories_and_control_events():
    seen = []
    with mekal.observe(lambda *e: seen.append(e[:3]),
                       categories=[mekal.PERFORMANCE, mekal.CONTROL]):
        mekal.record("general", 1)
        mekal.record("timing", 2, category=mekal.PERFORMANCE)
        mekal.fini()
    assert seen == [("timing", 2, mekal.PERFORMANCE), ("fini", 0, mekal.CONTROL)]


def test_a_raising_observer_is_reported_and_delivery_goes_on(monkeypatch):
    reported, seen = [], []
    monkeypatch.setattr("sys.unraisablehook", reported.append)

    def bad(name, *rest):
        raise RuntimeError("observer failed on " + name)
    with mekal.observe(lambda *e: seen.append(e[0])), mekal.observe(bad):
        mekal.record("a", 1)
        mekal.record("b", 2)
    assert seen == ["a", "b"] and mekal.names() == ["a", "b"]
    assert [str(r.exc_value) for r in reported] == ["observer failed on a", "observer failed on b"]


def test_a_handle_closed_in_its_own_callback_is_called_no_more():
    calls, others = [], []

    def once(name, *rest):
        calls.append(name)
        handle.close()
    other = mekal.observe(lambda *e: others.append(e[0]))
    handle = mekal.observe(once)
    for name in ("a", "b"):
        mekal.record(name, 1)
    assert calls == ["a"] and others == ["a", "b"] and handle.closed and not other.closed


def test_dropped_handles_and_clean_unregister():
    seen = []
    mekal.observe(lambda *e: seen.append(("dropped",) + e))
    gc.collect()
    kept = mekal.observe(lambda *e: seen.append(e[:2]), categories=mekal.GENERAL)
    mekal.record("a", 1)
    mekal.clean()
    assert kept.closed
    mekal.record("b", 2)
    assert seen == [("a", 1)]
