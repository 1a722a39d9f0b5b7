"""Python models of what kv_duneth computes: the end-date rule, and the texts of its argument
binding errors (CPython's own formats). The tests compare the module with them; bench/ times
the date rule as the plain Python floor of generate_end_date."""
import calendar
from datetime import timedelta


def end_date(now, years, months, days):
    """generate_end_date from `now`: the days, then the year (29 February into a common year
    gives 28 February), then the months with the carry (a day the target month lacks gives its
    last day). Beyond the date library's range it raises what the library raises."""
    end = now + timedelta(days=days)
    try:
        end = end.replace(year=end.year + years)
    except ValueError:
        end = end.replace(year=end.year + years, day=28)
    month = end.month - 1 + months
    year, month = end.year + month // 12, month % 12 + 1
    try:
        end = end.replace(year=year, month=month)
    except ValueError:
        end = end.replace(year=year, month=month, day=calendar.monthrange(year, month)[1])
    return end.strftime("%Y-%m-%d")


def takes(name, n, given, at_most=False):
    """CPython's "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"."""
    return "%s() takes %s %d positional argument%s (%d given)" % (
        name, "at most" if at_most else "exactly", n, "" if n == 1 else "s", given)


def unexpected(name, keyword):
    return "%s() got an unexpected keyword argument '%s'" % (name, keyword)


def multiple(name, keyword):
    return "%s() got multiple values for keyword argument '%s'" % (name, keyword)


def not_strings(name):
    return "%s() keywords must be strings" % name


def needs_argument(name):
    return "%s() needs an argument" % name


def wrong_type(parameter, expected, got):
    return "Argument '%s' has incorrect type (expected %s, got %s)" % (parameter, expected, got)
