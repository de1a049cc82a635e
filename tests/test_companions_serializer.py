import datetime as dt
import json
import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarnlet_master.python_server.tarnlet import messaging
from tarnlet_master.python_server.tarnlet.serializer import EXCEL_ERROR_CODES, ExcelError, Serializer

to_wire = Serializer.to_wire
from_wire = Serializer.from_wire


def through_json(value):
    """Encode as the kernel would (strict JSON, no NaN) and decode."""
    text = json.dumps(to_wire(value), allow_nan=False)
    return from_wire(json.loads(text))


def same(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, dt.datetime) and type(a) is type(b) and a.utcoffset() is not None \
            and b.utcoffset() is not None:
        # The same instant: == never holds across zones for a time the clocks repeat
        # (a DST fold), so the instants are compared by their difference.
        return a - b == dt.timedelta(0)
    return type(a) is type(b) and a == b


scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(),
    st.dates(),
    st.datetimes(timezones=st.none() | st.timezones()),
    st.times(),
    st.sampled_from(EXCEL_ERROR_CODES).map(ExcelError),
    st.binary(max_size=20),
)
cells = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), st.text(), st.dates())
ranges_2d = st.integers(1, 4).flatmap(
    lambda width: st.lists(st.lists(cells, min_size=width, max_size=width), min_size=1, max_size=5))
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.dictionaries(st.text(max_size=8), inner, max_size=4),
        st.dictionaries(st.integers(), inner, max_size=3),
    ),
    max_leaves=20,
)


@settings(max_examples=300, deadline=None)
@given(values)
def test_round_trip_through_strict_json(value):
    assert same(through_json(value), value)


@settings(max_examples=100, deadline=None)
@given(ranges_2d)
def test_ranges_stay_lists_of_rows(rows):
    back = through_json(rows)
    assert same(back, rows)
    assert [len(r) for r in back] == [len(r) for r in rows]


class TestSpecialValues:
    def test_non_finite_floats_are_tagged(self):
        assert to_wire(math.inf) == {"__type__": "float", "value": "inf"}
        assert to_wire(-math.inf) == {"__type__": "float", "value": "-inf"}
        assert to_wire(math.nan) == {"__type__": "float", "value": "nan"}
        assert to_wire(1.5) == 1.5

    def test_bool_is_not_turned_into_int(self):
        assert to_wire(True) is True
        assert from_wire(False) is False

    def test_datetime_is_not_mistaken_for_date(self):
        moment = dt.datetime(2024, 2, 29, 13, 5, 7, 123456)
        assert to_wire(moment) == {"__type__": "datetime", "value": "2024-02-29T13:05:07.123456"}
        assert to_wire(moment.date()) == {"__type__": "date", "value": "2024-02-29"}

    def test_aware_datetime_keeps_offset(self):
        tz = dt.timezone(dt.timedelta(hours=-5))
        back = through_json(dt.datetime(2023, 1, 1, 8, 0, tzinfo=tz))
        assert back.utcoffset() == dt.timedelta(hours=-5)

    def test_tuples_and_sets_come_back_as_lists(self):
        assert through_json((1, (2, 3))) == [1, [2, 3]]
        assert sorted(through_json({3, 1, 2})) == [1, 2, 3]

    def test_dict_that_looks_tagged_is_escaped(self):
        tricky = {"__type__": "date", "value": "not a date"}
        wire = to_wire(tricky)
        assert wire["__type__"] == "dict"
        assert through_json(tricky) == tricky

    def test_non_string_keys(self):
        assert through_json({1: "a", None: "b"}) == {1: "a", None: "b"}
        # List keys cannot be dict keys in Python; they come back as tuples.
        assert from_wire({"__type__": "dict", "items": [[[1, 2], "x"]]}) == {(1, 2): "x"}

    def test_event_argument_item_decodes_to_a_dict(self):
        item = {"name": "Target", "value": {"__type__": "date", "value": "2020-05-17"}}
        assert from_wire(item) == {"name": "Target", "value": dt.date(2020, 5, 17)}

    def test_excel_error(self):
        assert to_wire(ExcelError("#N/A")) == {"__type__": "error", "value": "#N/A"}
        assert from_wire({"__type__": "error", "value": "#DIV/0!"}) == ExcelError("#DIV/0!")
        with pytest.raises(ValueError):
            ExcelError("#WHAT?")

    def test_unknown_objects_become_their_repr(self):
        class Thing:
            def __repr__(self):
                return "<thing 7>"

        wire = to_wire(Thing())
        assert wire == {"__type__": "object", "type": "Thing", "repr": "<thing 7>"}
        assert from_wire(wire) == "<thing 7>"

    def test_broken_repr_does_not_break_serialisation(self):
        class Broken:
            def __repr__(self):
                raise RuntimeError("nope")

        assert "repr failed" in to_wire(Broken())["repr"]

    def test_generator_is_not_iterated(self):
        consumed = []

        def gen():
            consumed.append(1)
            yield 1

        assert to_wire(gen())["__type__"] == "object"
        assert consumed == []

    def test_array_like_uses_tolist(self):
        class Arr:
            def tolist(self):
                return [[1, 2], [3, 4]]

        assert to_wire(Arr()) == [[1, 2], [3, 4]]

    def test_deep_nesting_is_refused_cleanly(self):
        deep = []
        for _ in range(500):
            deep = [deep]
        with pytest.raises(ValueError):
            to_wire(deep)


class TestCallables:
    def test_callable_is_registered_and_resolved(self):
        def double(x):
            return 2 * x

        wire = to_wire(double)
        try:
            assert wire["__type__"] == "callable"
            assert wire["name"].endswith("double")
            assert messaging.get_callable(wire["id"]) is double
            assert to_wire(double)["id"] == wire["id"]  # same object, same id
            assert through_json(double) is double
        finally:
            messaging.unregister_callable(wire["id"])

    def test_unknown_callable_id_is_an_error(self):
        with pytest.raises(LookupError):
            from_wire({"__type__": "callable", "id": "no-such-id"})


@pytest.mark.parametrize("bad", [
    {"__type__": "mystery", "value": 1},
    {"__type__": "float", "value": "huge"},
    {"__type__": "date"},
    {"__type__": "date", "value": "2021-13-40"},
    {"__type__": "dict", "items": "nope"},
    {"__type__": "dict", "items": [[1, 2, 3]]},
    {"__type__": "bytes", "value": "***"},
])
def test_malformed_wire_items_raise_value_error(bad):
    with pytest.raises(ValueError):
        from_wire(bad)
