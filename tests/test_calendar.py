"""Calendar helpers: today's date and date offsets, on a clock fixed through the module's `datetime`."""
import calendar
import datetime as dt
import re
import traceback

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from model import end_date, multiple, takes, unexpected
from fakes import IntReturns

END = "kelvaro_duneth.kv_duneth.kv_duneth.generate_end_date"
TODAY = "kelvaro_duneth.kv_duneth.kv_duneth.get_today_date"
SOURCE = "kelvaro_duneth/kv_duneth"
MIDDAY = (2021, 6, 15, 12, 0)
NOT_INT = "an integer is required"
TOO_LARGE = "value too large to convert to int"


class Fixed(dt.datetime):
    """Stands in for the module's `datetime`: now() gives `instant` and counts its calls."""
    instant = dt.datetime(*MIDDAY)
    calls = 0

    @classmethod
    def now(cls):
        Fixed.calls += 1
        return Fixed.instant


@pytest.fixture
def clock(restore_globals):
    restore_globals["datetime"] = Fixed
    Fixed.instant, Fixed.calls = dt.datetime(*MIDDAY), 0

    def set_to(instant):
        Fixed.instant = instant
    return set_to


def entries(exc):
    """The traceback entries that the module itself added, as (function, line)."""
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
            if f.filename == SOURCE]


# "today  years months days  result": C is a common year and L a leap year, both followed by a
# common year; "C+1 02-28" is 28 February of the year after C.
TABLE = [
    "C 01-15  0 1 0  C 02-15", "C 12-15  0 1 0  C+1 01-15", "C 01-15  0 -1 0  C-1 12-15",
    "C 03-15  0 -15 0  C-2 12-15", "C 06-15  0 24 0  C+2 06-15", "C 01-15  0 11 0  C 12-15",
    "C 01-15  0 -12 0  C-1 01-15", "C 01-15  0 -13 0  C-2 12-15", "C 12-15  0 13 0  C+2 01-15",
    "C 01-31  0 1 0  C 02-28", "C 01-29  0 1 0  C 02-28", "C 01-30  0 1 0  C 02-28",
    "L 01-29  0 1 0  L 02-29", "L 01-31  0 1 0  L 02-29", "C 03-31  0 1 0  C 04-30",
    "C 05-31  0 1 0  C 06-30", "C 08-31  0 1 0  C 09-30", "C 03-31  0 -1 0  C 02-28",
    "C 10-31  0 -1 0  C 09-30", "C 05-31  0 -3 0  C 02-28", "L 12-31  0 2 0  L+1 02-28",
    "L 02-29  0 12 0  L+1 02-28", "L 02-29  1 0 0  L+1 02-28", "L 02-29  4 0 0  L+4 02-29",
    "L 02-29  -4 0 0  L-4 02-29", "L 02-28  1 0 1  L+1 02-28", "C 01-31  0 1 1  C 03-01",
    "C 01-31  1 1 0  C+1 02-28", "C 03-01  0 0 -1  C 02-28", "L 03-01  0 0 -1  L 02-29",
    "C 12-31  0 0 1  C+1 01-01", "C 01-01  0 0 -1  C-1 12-31", "C 01-01  0 0 365  C+1 01-01",
    "L 01-01  0 0 365  L 12-31", "C 01-31  0 0 -31  C-1 12-31", "C 01-01  0 -1 -1  C-1 11-30",
]


def resolve(year, month_day, years):
    return dt.datetime(years[year[0]] + int(year[1:] or 0), *map(int, month_day.split("-")))


@pytest.mark.parametrize("time_of_day", [dt.time(0, 0), dt.time(23, 59, 59, 999999)])
@pytest.mark.parametrize("years_cl", [{"C": 2021, "L": 2020}, {"C": 1900, "L": 2000}])
@pytest.mark.parametrize("row", TABLE)
def test_offset_table(clock, unkeyed, years_cl, time_of_day, row):
    year, month_day, years, months, days, *result = row.split()
    clock(dt.datetime.combine(resolve(year, month_day, years_cl), time_of_day))
    expected = resolve(*result, years_cl).strftime("%Y-%m-%d")
    assert unkeyed.generate_end_date(int(years), int(months), int(days)) == expected
    assert Fixed.calls == 1


@pytest.mark.parametrize("instant", [dt.datetime(*MIDDAY), dt.datetime(1999, 12, 31, 23, 59, 59),
                                     dt.datetime(2024, 2, 29), dt.datetime(9999, 12, 31, 1)])
def test_no_offset_is_today(clock, unkeyed, instant):
    clock(instant)
    assert unkeyed.get_today_date() == instant.strftime("%Y-%m-%d")
    assert unkeyed.generate_end_date() == unkeyed.get_today_date()
    assert Fixed.calls == 3


@pytest.mark.parametrize("args, kwargs, result", [
    ((1.9,), {}, "2022-06-15"), ((-1.9,), {}, "2020-06-15"), ((0, True), {}, "2021-07-15"),
    ((0, 0, 1.9), {}, "2021-06-16"), ((0, -0.5, -1.9), {}, "2021-06-14"),
    ((IntReturns(3),), {}, "2024-06-15"), ((2, 1), {"days": 3}, "2023-07-18"),
    ((), {"years": 1, "months": -1, "days": -1}, "2022-05-14"),
    ((), {"".join(["da", "ys"]): 2, "".join(["mon", "ths"]): 1}, "2021-07-17"),
])
def test_argument_conversion(clock, unkeyed, args, kwargs, result):
    assert unkeyed.generate_end_date(*args, **kwargs) == result
    assert Fixed.calls == 1


def test_int_returning_bool_is_deprecated_but_accepted(clock, unkeyed):
    with pytest.warns(DeprecationWarning) as record:
        assert unkeyed.generate_end_date(IntReturns(True)) == "2022-06-15"
    assert str(record[0].message) == (
        "__int__ returned non-int (type bool).  The ability to return an instance of a strict "
        "subclass of int is deprecated, and may be removed in a future version of Python.")


@pytest.mark.parametrize("method, exc, message, args, kwargs", [
    (END, TypeError, NOT_INT, (None,), {}), (END, TypeError, NOT_INT, ("1",), {}),
    (END, TypeError, NOT_INT, (0, 0, "1"), {}), (END, TypeError, NOT_INT, (), {"months": None}),
    (END, OverflowError, TOO_LARGE, (2147483648,), {}),
    (END, OverflowError, TOO_LARGE, (0, -2147483649), {}),
    (END, OverflowError, TOO_LARGE, (), {"days": 2147483648}),
    (END, OverflowError, None, (2 ** 70,), {}), (END, OverflowError, None, (0, 0, -2 ** 70), {}),
    (END, TypeError, "__int__ returned non-int (type str)", (IntReturns("1"),), {}),
    (END, TypeError, takes("generate_end_date", 3, 4, at_most=True), (0, 0, 0, 0), {}),
    (END, TypeError, unexpected("generate_end_date", "weeks"), (), {"weeks": 1}),
    (END, TypeError, multiple("generate_end_date", "years"), (1,), {"years": 1}),
    (TODAY, TypeError, takes("get_today_date", 0, 1), (1,), {}),
    (TODAY, TypeError, unexpected("get_today_date", "x"), (), {"x": 1}),
])
def test_argument_faults_come_before_the_clock(clock, unkeyed, method, exc, message, args, kwargs):
    with pytest.raises(exc, match=message and "^" + re.escape(message) + "$") as info:
        getattr(unkeyed, method.rpartition(".")[2])(*args, **kwargs)
    # Binding reports the first line of a method that has parameters, nothing for one without.
    assert entries(info.value) == ([(END, 63)] if method == END else [])
    assert Fixed.calls == 0


@pytest.mark.parametrize("today, args, exc, line", [
    (MIDDAY, (7979,), ValueError, 68), (MIDDAY, (-2021,), ValueError, 68),
    ((9999, 2, 1), (1, -1), ValueError, 68),
    (MIDDAY, (0, 95743), ValueError, 76), (MIDDAY, (0, -24257), ValueError, 76),
    ((9999, 12, 31), (0, 1), ValueError, 76), ((1, 1, 31), (0, -1), ValueError, 76),
    ((9999, 12, 31, 23), (0, 0, 1), OverflowError, 65), ((1, 1, 1), (0, 0, -1), OverflowError, 65),
    (MIDDAY, (0, 0, 2147483647), OverflowError, 65),
])
def test_failures_after_the_clock(clock, unkeyed, today, args, exc, line):
    clock(dt.datetime(*today))
    with pytest.raises(exc) as info:
        unkeyed.generate_end_date(*args)
    assert type(info.value) is exc and TOO_LARGE not in str(info.value)
    assert entries(info.value) == [(END, line)]
    if line == 76:
        assert type(info.value.__context__) is ValueError
    assert Fixed.calls == 1


@pytest.mark.parametrize("missing, method", [
    ("datetime", "get_today_date"), ("datetime", "generate_end_date"), ("timedelta", "generate_end_date")])
def test_missing_module_name(restore_globals, unkeyed, missing, method):
    del restore_globals[missing]
    with pytest.raises(NameError, match=f"^name '{missing}' is not defined$"):
        getattr(unkeyed, method)()


@pytest.mark.parametrize("method, args, name, line", [
    ("generate_end_date", (1, 2, 3), END, 64), ("get_today_date", (), TODAY, 81)])
def test_failing_clock(restore_globals, unkeyed, method, args, name, line):
    class Broken(dt.datetime):
        @classmethod
        def now(cls):
            raise RuntimeError("no clock")
    restore_globals["datetime"] = Broken
    with pytest.raises(RuntimeError, match="^no clock$") as info:
        getattr(unkeyed, method)(*args)
    assert entries(info.value) == [(name, line)]


class MonthFails:
    """A today whose month cannot be read, or cannot take the months added."""
    year = 2021

    def __init__(self, month):
        self._month = month

    def __add__(self, delta):
        return self

    def replace(self, **changes):
        return self

    @property
    def month(self):
        if self._month is None:
            raise RuntimeError("no month")
        return self._month


@pytest.mark.parametrize("month, exc", [(None, RuntimeError), ("June", TypeError)])
def test_months_step_fails(restore_globals, unkeyed, month, exc):
    now = staticmethod(lambda: MonthFails(month))
    restore_globals["datetime"] = type("Clock", (), {"now": now})
    with pytest.raises(exc) as info:
        unkeyed.generate_end_date(0, 1, 0)
    assert entries(info.value) == [(END, 69)]


def outcome(function, *args):
    try:
        return function(*args)
    except (ValueError, OverflowError) as exc:
        return type(exc)


def month_end(year, month, back, hour):
    return dt.datetime(year, month, calendar.monthrange(year, month)[1] - back, hour)


instants = st.datetimes(dt.datetime(1, 1, 1), dt.datetime(9999, 12, 31)) | st.builds(
    month_end, st.integers(1, 9999), st.integers(1, 12), st.integers(0, 3), st.integers(0, 23))


# Each example sets the clock itself, so the function-scoped fixtures may be shared; Hypothesis
# before 6 (Debian 11) has no health check for them.
FIXTURE_CHECK = [check for check in HealthCheck if check.name == "function_scoped_fixture"]


@settings(max_examples=300, deadline=None, derandomize=True, suppress_health_check=FIXTURE_CHECK)
@given(instants, st.integers(-50, 50), st.integers(-600, 600), st.integers(-5000, 5000))
def test_offsets_match_calendar_model(clock, unkeyed, now, years, months, days):
    clock(now)
    assert outcome(unkeyed.generate_end_date, years, months, days) == outcome(
        end_date, now, years, months, days)


def test_month_step_failing_otherwise_than_with_value_error(restore_globals, unkeyed):
    class ReplaceFails(dt.datetime):
        @classmethod
        def now(cls):
            return cls(*MIDDAY)

        def replace(self, **changes):
            if "month" in changes:
                raise KeyError("month")
            return self

        def __add__(self, delta):  # before 3.8, + returns the base class (bpo-32417)
            return ReplaceFails(*dt.datetime.__add__(self, delta).timetuple()[:6])
    restore_globals["datetime"] = ReplaceFails
    with pytest.raises(KeyError) as info:
        unkeyed.generate_end_date(0, 1, 0)
    assert entries(info.value) == [(END, 73)]
