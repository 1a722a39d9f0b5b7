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

bool is_leap(long long year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int days_in_month(long long year, long long month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : days[month - 1];
}

Ref new_int(long long value) { return Ref::steal(PyLong_FromLongLong(value)); }

long long int_attr(PyObject* obj, PyObject* name) {
    Ref value = getattr(obj, name);
    return value ? PyLong_AsLongLong(value.get()) : -1;
}

bool attr_failed(long long value) { return value == -1 && PyErr_Occurred(); }

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
Ref shift_years(PyObject* date, long long years) {
    long long year = int_attr(date, N.year);
    if (attr_failed(year)) return {};
    const long long target_year = year + years;
    Ref target = new_int(target_year);
    if (!target) return {};
    Ref shifted = replace_date(date, C.kw_year, {target.get()});
    if (shifted || !PyErr_ExceptionMatches(S.value_error)) return shifted;
    if (target_year < 1 || target_year > 9999 || is_leap(target_year)) return {};
    Ref error = Ref::steal(compat::take_exception());
    long long month = int_attr(date, N.month);
    long long day = (!attr_failed(month) && month == 2) ? int_attr(date, N.day) : 0;
    if (PyErr_Occurred()) return {};
    if (day != 29) {
        compat::give_exception(error.release());
        return {};
    }
    Ref day_28 = new_int(28);
    return day_28 ? replace_date(date, C.kw_year_day, {target.get(), day_28.get()}) : Ref();
}

// Division rounding toward negative infinity, as Python's //.
long long floor_div(long long a, long long b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

PyObject* generate_end_date(PyObject*, const Bound& b) {
    const long long years = b.num[0], months = b.num[1], days = b.num[2];
    Ref datetime = global(N.datetime);
    Ref today = datetime ? call_method0(datetime.get(), N.now) : Ref();
    if (!today) return fail_at(end_date_name, source_path, 64);

    Ref timedelta = global(N.timedelta);
    Ref day_count = timedelta ? new_int(days) : Ref();
    PyObject* delta_args[] = {day_count.get()};
    Ref delta = day_count ? call_kw(timedelta.get(), delta_args, C.kw_days) : Ref();
    Ref end = delta ? Ref::steal(PyNumber_Add(today.get(), delta.get())) : Ref();
    if (!end) return fail_at(end_date_name, source_path, 65);

    end = shift_years(end.get(), years);
    if (!end) return fail_at(end_date_name, source_path, 68);

    long long month = int_attr(end.get(), N.month);
    if (attr_failed(month)) return fail_at(end_date_name, source_path, 69);
    month += months;
    long long year = int_attr(end.get(), N.year);
    if (attr_failed(year)) return fail_at(end_date_name, source_path, 70);
    const long long carry = floor_div(month - 1, 12);  // so that the month ends up in 1 to 12
    year += carry;
    month -= 12 * carry;
    Ref year_obj = new_int(year), month_obj = new_int(month);
    if (!year_obj || !month_obj) return fail_at(end_date_name, source_path, 71);

    Ref moved = replace_date(end.get(), C.kw_year_month, {year_obj.get(), month_obj.get()});
    if (!moved) {
        if (!PyErr_ExceptionMatches(S.value_error))
            return fail_at(end_date_name, source_path, 73);
        // The day does not exist in the target month: take that month's last day. A year
        // outside 1 to 9999 fails again here, and that ValueError reaches the caller.
        Ref handled = Ref::steal(compat::take_exception());
        Ref last_day = new_int(year >= 1 && year <= 9999 ? days_in_month(year, month) : 1);
        if (last_day)
            moved = replace_date(end.get(), C.kw_year_month_day,
                                 {year_obj.get(), month_obj.get(), last_day.get()});
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
