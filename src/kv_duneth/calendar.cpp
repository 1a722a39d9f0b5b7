// Today's date and date offsets, as "%Y-%m-%d" text, through the module-level datetime classes.
#include "cipher.hpp"
#include "traceback.hpp"

namespace kvd {
namespace {

constexpr const char* end_date_name = "kelvaro_duneth.kv_duneth.kv_duneth.generate_end_date";
constexpr const char* today_name = "kelvaro_duneth.kv_duneth.kv_duneth.get_today_date";

constexpr Signature generate_end_date_sig = {
    "generate_end_date", end_date_name, source_path, 63, true, 3,
    {{&N.years, Kind::int32}, {&N.months, Kind::int32}, {&N.days, Kind::int32}},
    {"today", "end_date", "month", "year"}};
constexpr Signature get_today_date_sig = {"get_today_date", today_name, source_path, 80,
                                          false, 0, {}, {}};

// The arithmetic is Python's, on whatever numbers the date object hands out: a date class bound
// in place of datetime may return integers far beyond 64 bits, and they are added exactly.
Ref add(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Add(a, b)); }
Ref subtract(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Subtract(a, b)); }
Ref floor_divide(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_FloorDivide(a, b)); }
Ref modulo(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Remainder(a, b)); }
Ref new_int(long long value) { return Ref::steal(PyLong_FromLongLong(value)); }

// The value of `number` when it is an int within [low, high], else 0. Sets no error.
long long int_within(PyObject* number, long long low, long long high) {
    if (!PyLong_Check(number)) return 0;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
    return !overflow && value >= low && value <= high ? value : 0;
}
long long calendar_year(PyObject* year) { return int_within(year, 1, 9999); }
long long calendar_month(PyObject* month) { return int_within(month, 1, 12); }

bool is_leap(long long year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

// Days in a month of the calendar; 1 stands in for a year or month outside it, so that the
// date library reports the range itself.
long long last_day_of(PyObject* year_number, PyObject* month_number) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const long long year = calendar_year(year_number), month = calendar_month(month_number);
    if (!year || !month) return 1;
    return month == 2 && is_leap(year) ? 29 : days[month - 1];
}

Ref replace_date(PyObject* date, PyObject* kwnames, std::initializer_list<PyObject*> values) {
    Ref replace = getattr(date, N.replace);
    return replace ? call_kw(replace.get(), values.begin(), kwnames) : Ref();
}

// The exception raised inside a handler carries the one it handled, as in Python.
void chain_pending_to(Ref handled) {
    Ref current = Ref::steal(compat::take_exception());
    if (!current) return;
    if (handled && current.get() != handled.get())
        PyException_SetContext(current.get(), handled.release());
    compat::give_exception(current.release());
}

// Same month and day in the shifted year; 29 February into a common year gives 28 February.
Ref shift_years(PyObject* date, PyObject* years) {
    Ref year = getattr(date, N.year);
    Ref target = year ? add(year.get(), years) : Ref();
    if (!target) return {};
    Ref shifted = replace_date(date, C.kw_year, {target.get()});
    if (shifted || !PyErr_ExceptionMatches(S.value_error)) return shifted;
    const long long target_year = calendar_year(target.get());
    if (!target_year || is_leap(target_year)) return {};
    Ref error = Ref::steal(compat::take_exception());
    Ref month = getattr(date, N.month);
    Ref day = month && int_within(month.get(), 2, 2) ? getattr(date, N.day) : Ref();
    if (PyErr_Occurred()) return {};
    if (!day || !int_within(day.get(), 29, 29)) {
        compat::give_exception(error.release());
        return {};
    }
    Ref day_28 = new_int(28);
    return day_28 ? replace_date(date, C.kw_year_day, {target.get(), day_28.get()}) : Ref();
}

PyObject* generate_end_date(PyObject*, const Bound& b) {
    Ref datetime = global(N.datetime);
    Ref today = datetime ? call_method0(datetime.get(), N.now) : Ref();
    if (!today) return fail_at(end_date_name, source_path, 64);

    Ref timedelta = global(N.timedelta);
    Ref days = timedelta ? new_int(b.num[2]) : Ref();
    PyObject* delta_args[] = {days.get()};
    Ref delta = days ? call_kw(timedelta.get(), delta_args, C.kw_days) : Ref();
    Ref end = delta ? add(today.get(), delta.get()) : Ref();
    if (!end) return fail_at(end_date_name, source_path, 65);

    Ref years = new_int(b.num[0]);
    end = years ? shift_years(end.get(), years.get()) : Ref();
    if (!end) return fail_at(end_date_name, source_path, 68);

    Ref months = new_int(b.num[1]);
    Ref month_attr = months ? getattr(end.get(), N.month) : Ref();
    Ref month_sum = month_attr ? add(month_attr.get(), months.get()) : Ref();
    if (!month_sum) return fail_at(end_date_name, source_path, 69);
    Ref year_attr = getattr(end.get(), N.year);
    Ref zero_based = year_attr ? subtract(month_sum.get(), C.int_1) : Ref();
    Ref carry = zero_based ? floor_divide(zero_based.get(), C.int_12) : Ref();
    Ref year = carry ? add(year_attr.get(), carry.get()) : Ref();
    if (!year) return fail_at(end_date_name, source_path, 70);
    Ref month_index = modulo(zero_based.get(), C.int_12);  // never negative, as Python's %
    Ref month = month_index ? add(month_index.get(), C.int_1) : Ref();
    if (!month) return fail_at(end_date_name, source_path, 71);

    Ref moved = replace_date(end.get(), C.kw_year_month, {year.get(), month.get()});
    if (!moved) {
        if (!PyErr_ExceptionMatches(S.value_error))
            return fail_at(end_date_name, source_path, 73);
        // The day does not exist in the target month: take that month's last day. A year
        // outside 1 to 9999 fails again here, and that ValueError reaches the caller.
        Ref handled = Ref::steal(compat::take_exception());
        Ref last_day = new_int(last_day_of(year.get(), month.get()));
        if (last_day)
            moved = replace_date(end.get(), C.kw_year_month_day,
                                 {year.get(), month.get(), last_day.get()});
        if (!moved) {
            chain_pending_to(std::move(handled));
            return fail_at(end_date_name, source_path, 76);
        }
    }

    Ref text = call_method1(moved.get(), N.strftime, C.date_pattern);
    if (!text) return fail_at(end_date_name, source_path, 78);
    return text.release();
}

PyObject* get_today_date(PyObject*, const Bound&) {
    Ref datetime = global(N.datetime);
    Ref today = datetime ? call_method0(datetime.get(), N.now) : Ref();
    Ref text = today ? call_method1(today.get(), N.strftime, C.date_pattern) : Ref();
    if (!text) return fail_at(today_name, source_path, 81);
    return text.release();
}

}  // namespace

const Method generate_end_date_method = {&generate_end_date_sig,
                                         entry<generate_end_date_sig, generate_end_date>};
const Method get_today_date_method = {&get_today_date_sig,
                                      entry<get_today_date_sig, get_today_date>};

}  // namespace kvd
