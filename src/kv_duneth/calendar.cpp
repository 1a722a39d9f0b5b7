// Today's date and date offsets, as "%Y-%m-%d" text, through the module-level datetime classes.
#include "calls.hpp"
#include "cipher.hpp"
#include "traceback.hpp"

namespace kvd {
namespace {

constexpr Signature generate_end_date_sig{
    .site = {"generate_end_date"}, .first_line = 63,
    .params = {{&Names::years, Kind::int32}, {&Names::months, Kind::int32},
               {&Names::days, Kind::int32}},
    .defaults_zero = true, .locals = {"today", "end_date", "month", "year"}};
constexpr struct {
    int clock = 64;          // reading the clock
    int days = 65;           // adding the days
    int years = 68;          // the year step
    int months = 69;         // adding the months
    int carry = 70;          // the year carry
    int normalise = 71;      // normalising the month
    int month_step = 73;     // the guarded month step
    int month_end = 76;      // the month-end fallback
    int format = 78;         // formatting
} end_date_lines{};

constexpr Signature get_today_date_sig{.site = {"get_today_date"}, .first_line = 80};
constexpr int today_line = 81;

// The arithmetic is Python's, on whatever numbers the date object hands out: a date class bound
// in place of datetime may return integers far beyond 64 bits, and they are added exactly.
Ref add(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Add(a, b)); }
Ref subtract(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Subtract(a, b)); }
Ref floor_divide(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_FloorDivide(a, b)); }
Ref modulo(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Remainder(a, b)); }
Ref new_int(long long value) { return Ref::steal(PyLong_FromLongLong(value)); }

// The value of an exact int that fits a long long: the case where machine arithmetic, checked
// for overflow, gives what Python's does, only sooner.
bool machine_int(PyObject* number, long long& value) {
    if (!PyLong_CheckExact(number)) return false;
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(number, &overflow);
    return !overflow;
}

// a + b, in machine integers where they suffice.
Ref add_int(PyObject* a, long long b, PyObject* b_number) {
    long long value, sum;
    if (machine_int(a, value) && !__builtin_add_overflow(value, b, &sum)) return new_int(sum);
    return add(a, b_number);
}

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

bool value_error_pending() {
    Ref value_error = cached(&ModuleState::value_error);
    return PyErr_ExceptionMatches(value_error.get());
}

Ref replace_date(PyObject* date, PyObject* kwnames, std::initializer_list<PyObject*> values) {
    Ref replace = getattr(date, names.replace);
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
    Ref year = getattr(date, names.year);
    long long years_value = 0;
    machine_int(years, years_value);
    Ref target = year ? add_int(year.get(), years_value, years) : Ref();
    if (!target) return {};
    Ref shifted = replace_date(date, constants.kw_year, {target.get()});
    if (shifted || !value_error_pending()) return shifted;
    const long long target_year = calendar_year(target.get());
    if (!target_year || is_leap(target_year)) return {};
    Ref error = Ref::steal(compat::take_exception());
    Ref month = getattr(date, names.month);
    Ref day = month && int_within(month.get(), 2, 2) ? getattr(date, names.day) : Ref();
    if (PyErr_Occurred()) return {};
    if (!day || !int_within(day.get(), 29, 29)) {
        compat::give_exception(error.release());
        return {};
    }
    Ref day_28 = new_int(28);
    return day_28 ? replace_date(date, constants.kw_year_day, {target.get(), day_28.get()}) : Ref();
}

// year + (month + months - 1) // 12 and (month + months - 1) % 12 + 1 in machine integers; false
// when the year is no int that fits or anything would overflow.
bool machine_month_step(PyObject* year_number, long long month, long long months,
                        long long& year_out, long long& month_out) {
    long long year, zero_based;
    if (!machine_int(year_number, year) || __builtin_add_overflow(month, months, &zero_based) ||
        __builtin_sub_overflow(zero_based, 1, &zero_based))
        return false;
    // Floor division and a remainder that is never negative, as Python's // and %; neither
    // step can overflow, whatever zero_based is.
    const long long remainder = zero_based % 12;
    const long long carry = zero_based / 12 - (remainder < 0 ? 1 : 0);
    month_out = (remainder < 0 ? remainder + 12 : remainder) + 1;
    return !__builtin_add_overflow(year, carry, &year_out);
}

// The month step on the shifted date: year + (month + months - 1) // 12 and
// (month + months - 1) % 12 + 1, reading the month, then the year. Ints that fit take the
// machine shortcut; anything else takes Python's arithmetic. On failure `line` is the failing
// statement's.
bool step_months(PyObject* end, long long months, Ref& year, Ref& month, int& line) {
    line = end_date_lines.months;
    Ref month_attr = getattr(end, names.month);
    if (!month_attr) return false;
    Ref year_attr;
    long long machine_year, machine_month;
    if (machine_int(month_attr.get(), machine_month)) {  // month + months runs no Python code
        line = end_date_lines.carry;
        if (!(year_attr = getattr(end, names.year))) return false;
        if (machine_month_step(year_attr.get(), machine_month, months, machine_year,
                               machine_month)) {
            if (!(year = new_int(machine_year))) return false;
            line = end_date_lines.normalise;
            month = new_int(machine_month);
            return bool(month);
        }
        line = end_date_lines.months;
    }
    Ref months_number = new_int(months);
    Ref month_sum = months_number ? add(month_attr.get(), months_number.get()) : Ref();
    if (!month_sum) return false;
    line = end_date_lines.carry;
    if (!year_attr) year_attr = getattr(end, names.year);
    Ref zero_based = year_attr ? subtract(month_sum.get(), constants.int_1) : Ref();
    Ref carry = zero_based ? floor_divide(zero_based.get(), constants.int_12) : Ref();
    year = carry ? add(year_attr.get(), carry.get()) : Ref();
    if (!year) return false;
    line = end_date_lines.normalise;
    Ref month_index = modulo(zero_based.get(), constants.int_12);  // never negative
    month = month_index ? add(month_index.get(), constants.int_1) : Ref();
    return bool(month);
}

PyObject* generate_end_date(PyObject*, const Bound& b) {
    Ref datetime = global(names.datetime);
    Ref today = datetime ? call_method0(datetime.get(), names.now) : Ref();
    if (!today) return fail_at(generate_end_date_sig.site, end_date_lines.clock);

    Ref timedelta = global(names.timedelta);
    Ref days = timedelta ? new_int(b.num[2]) : Ref();
    PyObject* delta_args[] = {days.get()};
    Ref delta = days ? call_kw(timedelta.get(), delta_args, constants.kw_days) : Ref();
    Ref end = delta ? add(today.get(), delta.get()) : Ref();
    if (!end) return fail_at(generate_end_date_sig.site, end_date_lines.days);

    Ref years = new_int(b.num[0]);
    end = years ? shift_years(end.get(), years.get()) : Ref();
    if (!end) return fail_at(generate_end_date_sig.site, end_date_lines.years);

    Ref year, month;
    int line = 0;
    if (!step_months(end.get(), b.num[1], year, month, line))
        return fail_at(generate_end_date_sig.site, line);

    Ref moved = replace_date(end.get(), constants.kw_year_month, {year.get(), month.get()});
    if (!moved) {
        if (!value_error_pending())
            return fail_at(generate_end_date_sig.site, end_date_lines.month_step);
        // The day does not exist in the target month: take that month's last day. A year
        // outside 1 to 9999 fails again here, and that ValueError reaches the caller.
        Ref handled = Ref::steal(compat::take_exception());
        Ref last_day = new_int(last_day_of(year.get(), month.get()));
        if (last_day)
            moved = replace_date(end.get(), constants.kw_year_month_day,
                                 {year.get(), month.get(), last_day.get()});
        if (!moved) {
            chain_pending_to(std::move(handled));
            return fail_at(generate_end_date_sig.site, end_date_lines.month_end);
        }
    }

    Ref text = call_method1(moved.get(), names.strftime, constants.date_pattern);
    if (!text) return fail_at(generate_end_date_sig.site, end_date_lines.format);
    return text.release();
}

PyObject* get_today_date(PyObject*, const Bound&) {
    Ref datetime = global(names.datetime);
    Ref today = datetime ? call_method0(datetime.get(), names.now) : Ref();
    Ref text = today ? call_method1(today.get(), names.strftime, constants.date_pattern) : Ref();
    if (!text) return fail_at(get_today_date_sig.site, today_line);
    return text.release();
}

}  // namespace

KVD_METHOD(generate_end_date)
KVD_METHOD(get_today_date)

}  // namespace kvd
