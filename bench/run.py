"""What kv_duneth adds per call, on top of the cryptography and datetime work it hands out.

Every row times one call three ways in the same process:

  module  the kv_duneth method;
  floor   the same work written inline against cryptography / datetime / pickle, no wrapper;
  python  a plain Python class with the same methods (bench/pure_python.py).

Rows run round-robin: each round visits every row in a fresh random order and, inside a row,
its three variants in a fresh random order, each for one short repeat. Ratios and differences
are taken per round (module against floor and against python from the same round), and the
medians and quartiles of those are reported. The "stand-in" rows put a trivial cipher, whose
encrypt and decrypt are the builtin `bytes`, into the object's cipher slot, so what is left is
the wrapper's own cost: argument binding, type tests, attribute look-ups, calls.

Before timing, the three variants of each row are checked to agree (same results, same
errors, the same date rule on fixed days). After timing come PASS/FAIL lines for the targets
and an allocation report: blocks and transient bytes per call, module against floor.
Instruction counts under callgrind, which noise does not touch: bench/callgrind.sh.

    .venv/bin/python bench/run.py            # full run, about two minutes
    .venv/bin/python bench/run.py --quick    # well under two minutes
    .venv/bin/python bench/run.py --json out.json --filter stand-in
"""
import argparse
import base64
import calendar
import gc
import itertools
import json
import os
import pickle
import platform
import random
import statistics
import sys
import time
import tracemalloc
import types
from datetime import datetime, timedelta
from pathlib import Path

import cryptography
from cryptography.fernet import Fernet
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC

import kelvaro_duneth.kv_duneth as kv_module
from kelvaro_duneth._fernet import KEY_ITERATIONS, KEY_LENGTH, KEY_SALT, KEY_STRING_SALT, derive_key
from kelvaro_duneth.kv_duneth import kv_duneth

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))
from pure_python import PyDuneth  # noqa: E402

PASSPHRASE = "correct horse battery staple"
VARIANTS = ("module", "floor", "python")

# Full run and --quick: rounds over the fast rows, rounds that also visit the slow (PBKDF2)
# rows, and the wall time one repeat of a fast row aims at.
PROFILES = {
    "full": {"rounds": 601, "slow_rounds": 41, "repeat_s": 0.002},
    "quick": {"rounds": 201, "slow_rounds": 11, "repeat_s": 0.001},
}


# --- the work ------------------------------------------------------------------------------

def clock_at(*when):
    """A `datetime` whose now() is always datetime(*when)."""
    now = classmethod(lambda cls, tz=None: cls(*when))
    return type("Fixed", (datetime,), {"now": now})


def derive_fernet(passphrase):
    return Fernet(derive_key(passphrase))


def make_env():
    """Objects shared by every row: keyed ciphers, stand-ins, payloads, tokens, keys."""
    stub = types.SimpleNamespace(encrypt=bytes, decrypt=bytes)
    stub_obj = kv_duneth.__new__(kv_duneth)
    stub_obj.__setstate__((stub, "x"))
    stub_py = PyDuneth.__new__(PyDuneth)
    stub_py.secret_key, stub_py.fernet = "x", stub

    o = kv_duneth(PASSPHRASE)
    p = PyDuneth(PASSPHRASE)
    f = derive_fernet(PASSPHRASE)
    text = "the quick brown fox, 42 times"
    data = text.encode()
    key = p.string_to_secret_key("another passphrase")
    other = derive_fernet("some other passphrase")
    return {
        "stub": stub, "so": stub_obj, "sp": stub_py,
        "o": o, "p": p, "f": f, "pw": PASSPHRASE,
        "s": text, "b": data,
        "ts": f.encrypt(data).decode(), "tb": f.encrypt(data),
        "bad_s": "not a token", "bad_b": b"not a token",
        "wrong_b": other.encrypt(data),
        "key": key, "kt": Fernet(key.encode()).encrypt(data).decode(), "bad_key": "not-a-key",
        "y": 1, "m": 2, "d": 3, "z": 0,
        # what the inline floors call, bound once like any program would
        "Fernet": Fernet, "PBKDF2HMAC": PBKDF2HMAC, "hashes": hashes, "base64": base64,
        "datetime": datetime, "timedelta": timedelta, "monthrange": calendar.monthrange,
        "dumps": pickle.dumps, "loads": pickle.loads, "kv_duneth": kv_duneth,
        "PyDuneth": PyDuneth,
    }


def guarded(expr, exc="BaseException"):
    return f"try:\n    {expr}\nexcept {exc}:\n    pass"


def end_date_floor(y, m, d):
    """The date rule inline, as a program would write it without the module (tests/model.py
    holds the same rule as a function, for the checks)."""
    return f"""\
_e = datetime.now() + timedelta(days={d})
try:
    _e = _e.replace(year=_e.year + {y})
except ValueError:
    _e = _e.replace(year=_e.year + {y}, day=28)
_m = _e.month + {m}
_y = _e.year + (_m - 1) // 12
_m = (_m - 1) % 12 + 1
try:
    _e = _e.replace(year=_y, month=_m)
except ValueError:
    _e = _e.replace(year=_y, month=_m, day=monthrange(_y, _m)[1])
_e.strftime("%Y-%m-%d")"""


class Case:
    def __init__(self, name, group, module, floor, python, slow=False):
        self.name, self.group, self.slow = name, group, slow
        self.stmts = {"module": module, "floor": floor, "python": python}
        self.n = 1
        self.timers = {}


def make_cases():
    c = []
    stand_ins = [
        ("encrypt_data(b)", "encrypt_data(data=b)", "stub.encrypt(b)"),
        ("decrypt_data(b)", "decrypt_data(encrypted_data=b)", guarded("stub.decrypt(b)")),
        ("encrypt_string(s)", "encrypt_string(input_string=s)", "stub.encrypt(s.encode()).decode()"),
        ("decrypt_string(s)", "decrypt_string(encrypted_string=s)",
         guarded("stub.decrypt(s.encode()).decode()")),
    ]
    for call, _, floor in stand_ins:
        c.append(Case(call + " [stub]", "stand-in", "so." + call, floor, "sp." + call))
    for _, kw, floor in stand_ins:
        c.append(Case(kw + " [stub]", "stand-in-kw", "so." + kw, floor, "sp." + kw))

    g = "cipher"
    c += [
        Case("encrypt_data(b)", g, "o.encrypt_data(b)", "f.encrypt(b)", "p.encrypt_data(b)"),
        Case("decrypt_data(tb)", g, "o.decrypt_data(tb)", guarded("f.decrypt(tb)"),
             "p.decrypt_data(tb)"),
        Case("encrypt_string(s)", g, "o.encrypt_string(s)", "f.encrypt(s.encode()).decode()",
             "p.encrypt_string(s)"),
        Case("decrypt_string(ts)", g, "o.decrypt_string(ts)",
             guarded("f.decrypt(ts.encode()).decode()"), "p.decrypt_string(ts)"),
        Case("secret_key_to_string(key, kt)", g, "o.secret_key_to_string(key, kt)",
             guarded("Fernet(key.encode()).decrypt(kt.encode()).decode()"),
             "p.secret_key_to_string(key, kt)"),
    ]
    g = "failing"
    c += [
        Case("secret_key_to_string(bad key) -> None", g, "o.secret_key_to_string(bad_key, kt)",
             guarded("Fernet(bad_key.encode()).decrypt(kt.encode()).decode()"),
             "p.secret_key_to_string(bad_key, kt)"),
        Case("decrypt_string(not a token) -> None", g, "o.decrypt_string(bad_s)",
             guarded("f.decrypt(bad_s.encode()).decode()"), "p.decrypt_string(bad_s)"),
        Case("decrypt_data(not a token) -> None", g, "o.decrypt_data(bad_b)",
             guarded("f.decrypt(bad_b)"), "p.decrypt_data(bad_b)"),
        Case("decrypt_data(other key) -> None", g, "o.decrypt_data(wrong_b)",
             guarded("f.decrypt(wrong_b)"), "p.decrypt_data(wrong_b)"),
    ]
    g = "typeerror"
    c += [
        Case("encrypt_data(str): wrong type", g, guarded("o.encrypt_data(s)", "TypeError"),
             guarded("f.encrypt(s)", "TypeError"), guarded("p.encrypt_data(s)", "TypeError")),
        Case("encrypt_data(): too few", g, guarded("o.encrypt_data()", "TypeError"),
             guarded("f.encrypt()", "TypeError"), guarded("p.encrypt_data()", "TypeError")),
        Case("encrypt_data(b, b): too many", g, guarded("o.encrypt_data(b, b)", "TypeError"),
             guarded("f.encrypt(b, b)", "TypeError"), guarded("p.encrypt_data(b, b)", "TypeError")),
    ]
    g = "dates"
    c += [
        Case("get_today_date()", g, "o.get_today_date()",
             'datetime.now().strftime("%Y-%m-%d")', "p.get_today_date()"),
        Case("generate_end_date()", g, "o.generate_end_date()", end_date_floor("z", "z", "z"),
             "p.generate_end_date()"),
        Case("generate_end_date(y, m, d)", g, "o.generate_end_date(y, m, d)",
             end_date_floor("y", "m", "d"), "p.generate_end_date(y, m, d)"),
        Case("generate_end_date(years=, months=, days=)", g,
             "o.generate_end_date(years=y, months=m, days=d)", end_date_floor("y", "m", "d"),
             "p.generate_end_date(years=y, months=m, days=d)"),
    ]
    c.append(Case("pickle round trip", "pickle", "loads(dumps(o))", "loads(dumps((f, pw)))",
                  "loads(dumps(p))"))
    kdf = (f"PBKDF2HMAC(algorithm=hashes.SHA256(), length={KEY_LENGTH}, salt={{salt}}, "
           f"iterations={KEY_ITERATIONS}).derive(pw.encode())")
    c += [
        Case("kv_duneth(pw): construction", "construction", "kv_duneth(pw)",
             "Fernet(base64.urlsafe_b64encode(" + kdf.format(salt=repr(KEY_SALT)) + "))",
             "PyDuneth(pw)", slow=True),
        Case("string_to_secret_key(pw)", "cipher", "o.string_to_secret_key(pw)",
             "base64.urlsafe_b64encode(" + kdf.format(salt=repr(KEY_STRING_SALT)) + ").decode()",
             "p.string_to_secret_key(pw)", slow=True),
    ]
    return c


# --- timing --------------------------------------------------------------------------------

def compile_timer(stmt, env):
    """A function running `stmt` n times in a loop, every name a local; returns elapsed ns."""
    names = sorted(env)
    params = "".join(f", {k}=_env[{k!r}]" for k in names)
    body = "\n".join("        " + line for line in stmt.splitlines())
    src = (f"def _timer(_n{params}):\n"
           f"    _t0 = _clock()\n"
           f"    for _ in _repeat(None, _n):\n{body}\n"
           f"    return _clock() - _t0\n")
    scope = {"_env": env, "_clock": time.perf_counter_ns, "_repeat": itertools.repeat}
    exec(compile(src, f"<bench {stmt.splitlines()[0]}>", "exec"), scope)
    return scope["_timer"]


def calibrate(case, repeat_s):
    for timer in case.timers.values():
        timer(1)
    if case.slow:
        case.n = 1
        return
    for timer in case.timers.values():  # let the interpreter specialise the loop
        timer(200)
    per_call = max(min(timer(500) for _ in range(3)) / 500 for timer in case.timers.values())
    case.n = max(10, int(repeat_s * 1e9 / max(per_call, 1.0)))


def quartiles(values):
    if len(values) < 2:
        v = values[0]
        return v, v, v
    q1, med, q3 = statistics.quantiles(values, n=4, method="inclusive")
    return med, q1, q3


def stat(values):
    med, q1, q3 = quartiles(values)
    return {"median": med, "q1": q1, "q3": q3, "samples": len(values)}


def run_rounds(cases, loop_timer, profile, rng, progress):
    rounds, slow_rounds = profile["rounds"], profile["slow_rounds"]
    stride = max(1, rounds // max(1, slow_rounds))
    samples = {id(c): {v: [] for v in VARIANTS} for c in cases}
    loop_samples = []
    loop_n = 20000
    slow_done = 0
    t_start = time.monotonic()
    for r in range(rounds):
        visit_slow = r % stride == 0 and slow_done < slow_rounds
        slow_done += visit_slow
        todo = [c for c in cases if visit_slow or not c.slow]
        rng.shuffle(todo)
        loop_samples.append(loop_timer(loop_n) / loop_n)
        for case in todo:
            order = list(VARIANTS)
            rng.shuffle(order)
            for v in order:
                samples[id(case)][v].append(case.timers[v](case.n) / case.n)
        if progress and (r + 1) % max(1, rounds // 10) == 0:
            print(f"  round {r + 1}/{rounds}  ({time.monotonic() - t_start:.0f} s)",
                  file=sys.stderr, flush=True)
    return samples, loop_samples


def summarise(cases, samples, loop_ns):
    rows = []
    for case in cases:
        s = {v: [x - loop_ns for x in samples[id(case)][v]] for v in VARIANTS}
        mod, flo, py = s["module"], s["floor"], s["python"]
        rows.append({
            "row": case.name, "group": case.group, "calls_per_repeat": case.n,
            "module_ns": stat(mod), "floor_ns": stat(flo), "python_ns": stat(py),
            "ratio_to_floor": stat([a / b for a, b in zip(mod, flo)]),
            "overhead_ns": stat([a - b for a, b in zip(mod, flo)]),
            "ratio_to_python": stat([a / b for a, b in zip(mod, py)]),
            "statements": case.stmts,
        })
    return rows


# --- targets -------------------------------------------------------------------------------

# (target, row group, measure, limit)
TARGETS = [
    ("stand-in wrapper overhead, positional", "stand-in", "overhead_ns", 20.0),
    ("stand-in wrapper overhead, keyword", "stand-in-kw", "overhead_ns", 30.0),
    ("cipher methods within 2% of floor", "cipher", "ratio_to_floor", 1.02),
    ("construction within 1% of floor", "construction", "ratio_to_floor", 1.01),
    ("dates within 5% of floor", "dates", "ratio_to_floor", 1.05),
    ("failing decrypt no slower than Python class", "failing", "ratio_to_python", 1.0),
    ("TypeError paths no slower than Python class", "typeerror", "ratio_to_python", 1.0),
    ("pickle round trip no slower than Python class", "pickle", "ratio_to_python", 1.0),
]
UNITS = {"overhead_ns": "ns over floor", "ratio_to_floor": "x floor", "ratio_to_python": "x python"}


def evaluate_targets(rows):
    """(name, rows it covers, measure, limit, comparison) -> PASS/FAIL lines."""
    by_group = {}
    for row in rows:
        by_group.setdefault(row["group"], []).append(row)
    specs = [(name, by_group.get(group, []), measure, limit, UNITS[measure])
             for name, group, measure, limit in TARGETS]
    results = []
    for name, covered, measure, limit, unit in specs:
        if not covered:
            continue
        checks = []
        for row in covered:
            st = row[measure]
            checks.append({"row": row["row"], "median": st["median"], "q1": st["q1"],
                           "q3": st["q3"], "pass": st["median"] <= limit,
                           # noise flag: the limit lies inside the quartile band
                           "within_noise": st["q1"] <= limit <= st["q3"]})
        results.append({"target": name, "measure": measure, "limit": limit, "unit": unit,
                        "pass": all(ch["pass"] for ch in checks), "rows": checks})
    return results


# --- allocations ---------------------------------------------------------------------------

ALLOC_CASES = [
    # row, module statement, inline floor statement (each binds its result to _r), calls
    ("encrypt_data(b) [stub]", "_r = so.encrypt_data(b)", "_r = stub.encrypt(b)", 100_000),
    ("encrypt_data(data=b) [stub]", "_r = so.encrypt_data(data=b)", "_r = stub.encrypt(b)",
     100_000),
    ("decrypt_data(b) [stub]", "_r = so.decrypt_data(b)",
     "try:\n    _r = stub.decrypt(b)\nexcept BaseException:\n    _r = None", 100_000),
    ("encrypt_string(s) [stub]", "_r = so.encrypt_string(s)",
     "_r = stub.encrypt(s.encode()).decode()", 100_000),
    ("decrypt_string(s) [stub]", "_r = so.decrypt_string(s)",
     "try:\n    _r = stub.decrypt(s.encode()).decode()\nexcept BaseException:\n    _r = None",
     100_000),
    ("decrypt_string(encrypted_string=s) [stub]", "_r = so.decrypt_string(encrypted_string=s)",
     "try:\n    _r = stub.decrypt(s.encode()).decode()\nexcept BaseException:\n    _r = None",
     100_000),
    ("encrypt_data(b) [Fernet]", "_r = o.encrypt_data(b)", "_r = f.encrypt(b)", 5_000),
    ("decrypt_data(not a token) -> None", "_r = o.decrypt_data(bad_b)",
     "try:\n    _r = f.decrypt(bad_b)\nexcept BaseException:\n    _r = None", 20_000),
    ("get_today_date()", "_r = o.get_today_date()",
     '_r = datetime.now().strftime("%Y-%m-%d")', 20_000),
    ("generate_end_date(y, m, d)", "_r = o.generate_end_date(y, m, d)",
     end_date_floor("y", "m", "d").rsplit("\n", 1)[0] + '\n_r = _e.strftime("%Y-%m-%d")',
     20_000),
]


def compile_alloc(stmt, env):
    """Three loops over `stmt`: keep every result, drop every result, and the peak of one."""
    names = sorted(env)
    params = "".join(f", {k}=_env[{k!r}]" for k in names)

    def indent(level):
        return "\n".join(" " * level + line for line in stmt.splitlines())
    src = (f"def _keep(_out{params}):\n"
           f"    for _i in range(len(_out)):\n{indent(8)}\n"
           f"        _out[_i] = _r\n"
           f"def _drop(_n{params}):\n"
           f"    for _ in _repeat(None, _n):\n{indent(8)}\n"
           f"        del _r\n"
           f"def _peak(_k{params}):\n"
           f"    _peaks, _kept = [0] * _k, [0] * _k\n"
           f"    for _i in range(_k):\n"
           f"        _c0 = _gtm()[0]\n"
           f"        _rp()\n{indent(8)}\n"
           f"        _c1, _pk = _gtm()\n"
           f"        _peaks[_i], _kept[_i] = _pk - _c0, _c1 - _c0\n"
           f"        del _r\n"
           f"    return _peaks, _kept\n")
    scope = {"_env": env, "_repeat": itertools.repeat, "_gtm": tracemalloc.get_traced_memory,
             "_rp": tracemalloc.reset_peak}
    exec(compile(src, "<alloc>", "exec"), scope)
    return scope["_keep"], scope["_drop"], scope["_peak"]


def allocation_report(env, name_filter):
    """Blocks kept per call with every result held, blocks left per call with results dropped,
    and the transient peak of one call (tracemalloc): module against the inline floor."""
    report = []
    gc.collect()
    gc.disable()
    try:
        for row, mod_stmt, floor_stmt, calls in ALLOC_CASES:
            if name_filter and name_filter not in row:
                continue
            entry = {"row": row, "calls": calls}
            for label, stmt in (("module", mod_stmt), ("floor", floor_stmt)):
                keep, drop, peak = compile_alloc(stmt, env)
                drop(200)
                out = [None] * calls
                before = sys.getallocatedblocks()
                keep(out)
                kept = sys.getallocatedblocks() - before
                del out
                before = sys.getallocatedblocks()
                drop(calls)
                left = sys.getallocatedblocks() - before
                tracemalloc.start()
                try:
                    peak(50)
                    peaks, kept_bytes = peak(min(2000, calls // 10))
                finally:
                    tracemalloc.stop()
                entry[label] = {
                    "kept_blocks_per_call": kept / calls,
                    "left_blocks_per_call": left / calls,
                    "peak_bytes_per_call": statistics.median(peaks),
                    "result_bytes": statistics.median(kept_bytes),
                }
            report.append(entry)
    finally:
        gc.enable()
    return report


# --- sanity --------------------------------------------------------------------------------

def sanity_checks(env):
    """The three variants of a row must do the same work: check that they agree."""
    o, p, f, so, sp, stub = env["o"], env["p"], env["f"], env["so"], env["sp"], env["stub"]
    b, s = env["b"], env["s"]
    assert so.encrypt_data(b) is stub.encrypt(b) is sp.encrypt_data(b)
    assert so.decrypt_string(s) == s == sp.decrypt_string(s)
    for tok_b in (o.encrypt_data(b), p.encrypt_data(b), f.encrypt(b)):
        assert o.decrypt_data(tok_b) == p.decrypt_data(tok_b) == f.decrypt(tok_b) == b
    for tok_s in (o.encrypt_string(s), p.encrypt_string(s), f.encrypt(s.encode()).decode()):
        assert o.decrypt_string(tok_s) == p.decrypt_string(tok_s) == s
    assert o.string_to_secret_key("another passphrase") == env["key"]
    kt, bad = env["kt"], env["bad_key"]
    assert o.secret_key_to_string(env["key"], kt) == p.secret_key_to_string(env["key"], kt) == s
    assert o.secret_key_to_string(bad, kt) is None is p.secret_key_to_string(bad, kt)
    for target in (o, p):
        assert target.decrypt_string(env["bad_s"]) is None
        assert target.decrypt_data(env["bad_b"]) is None
        assert target.decrypt_data(env["wrong_b"]) is None
    for call in (lambda t: t.encrypt_data(s), lambda t: t.encrypt_data(),
                 lambda t: t.encrypt_data(b, b)):
        for target in (o, p):
            try:
                call(target)
            except TypeError:
                pass
            else:
                raise AssertionError("no TypeError")
    for args in ((), (1, 2, 3), (0, -5, 40), (3, 13, -400)):
        assert o.generate_end_date(*args) == p.generate_end_date(*args), args
    assert o.get_today_date() == p.get_today_date()
    copy = pickle.loads(pickle.dumps(o))
    assert copy.decrypt_data(f.encrypt(b)) == b
    assert pickle.loads(pickle.dumps(p)).decrypt_data(f.encrypt(b)) == b
    check_date_rule()


def check_date_rule():
    """Module and Python class agree on month ends and leap days, on fixed 'today's."""
    saved = kv_module.__dict__["datetime"]
    import pure_python
    cases = [((2025, 1, 31), (0, 1, 0)), ((2024, 1, 31), (0, 1, 0)), ((2025, 3, 31), (0, 1, 0)),
             ((2025, 3, 31), (0, -1, 0)), ((2024, 2, 29), (1, 0, 0)), ((2024, 2, 29), (0, 12, 0)),
             ((2025, 1, 31), (0, 1, 1)), ((2025, 12, 15), (0, 1, 0)), ((2025, 3, 15), (0, -15, 0))]
    try:
        for (yy, mm, dd), args in cases:
            fixed = clock_at(yy, mm, dd, 10, 30)
            kv_module.__dict__["datetime"] = fixed
            pure_python.datetime = fixed
            a = kv_duneth.generate_end_date(_DUMMY, *args)
            b = PyDuneth.generate_end_date(None, *args)
            assert a == b, ((yy, mm, dd), args, a, b)
    finally:
        kv_module.__dict__["datetime"] = saved
        pure_python.datetime = datetime


_DUMMY = kv_duneth.__new__(kv_duneth)


# --- output --------------------------------------------------------------------------------

def fmt_ns(x):
    if abs(x) >= 1e6:
        return f"{x / 1e6:.2f}ms"
    if abs(x) >= 1e4:
        return f"{x / 1e3:.1f}us"
    return f"{x:.1f}"


GROUP_ORDER = ["stand-in", "stand-in-kw", "cipher", "failing", "typeerror", "dates", "pickle",
               "construction"]


def print_table(rows, loop_ns):
    head = (f"{'row':44} {'median':>9} {'q1':>9} {'q3':>9} {'floor':>9} {'x floor':>8} "
            f"{'+ns':>8} {'python':>9} {'x python':>8}")
    print(f"ns per call (loop cost {loop_ns:.1f} ns/iteration subtracted); x and +ns are "
          "medians of per-round ratios and differences")
    group = None
    for row in sorted(rows, key=lambda r: GROUP_ORDER.index(r["group"])):
        if row["group"] != group:
            group = row["group"]
            print(f"\n[{group}]")
            print(head)
        m = row["module_ns"]
        print(f"{row['row'][:44]:44} {fmt_ns(m['median']):>9} {fmt_ns(m['q1']):>9} "
              f"{fmt_ns(m['q3']):>9} {fmt_ns(row['floor_ns']['median']):>9} "
              f"{row['ratio_to_floor']['median']:8.3f} {fmt_ns(row['overhead_ns']['median']):>8} "
              f"{fmt_ns(row['python_ns']['median']):>9} {row['ratio_to_python']['median']:8.3f}")


def print_targets(targets):
    print("\nTargets (on medians; 'noise' marks a limit inside the quartile band)")
    for t in targets:
        print(f"{'PASS' if t['pass'] else 'FAIL'}  {t['target']} (limit {t['limit']:g} {t['unit']})")
        for ch in t["rows"]:
            mark = "ok  " if ch["pass"] else "MISS"
            noise = "  noise" if ch["within_noise"] else ""
            print(f"        {mark} {ch['row'][:44]:44} {ch['median']:9.3f}  "
                  f"[{ch['q1']:.3f} .. {ch['q3']:.3f}]{noise}")


def print_allocations(report):
    print("\nAllocations per call: blocks (sys.getallocatedblocks) kept with every result held and "
          "left with results dropped;\npeak bytes of one call and bytes of its result "
          "(tracemalloc, median)")
    print(f"{'row':44} {'':7} {'calls':>7} {'kept blk':>9} {'left blk':>9} {'peak B':>7} "
          f"{'result B':>8}")
    for e in report:
        for label in ("module", "floor"):
            a = e[label]
            print(f"{(e['row'] if label == 'module' else '')[:44]:44} {label:7} "
                  f"{e['calls']:7} {a['kept_blocks_per_call']:9.4f} {a['left_blocks_per_call']:9.4f} "
                  f"{a['peak_bytes_per_call']:7.0f} {a['result_bytes']:8.0f}")


# --- main ----------------------------------------------------------------------------------

def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer rounds: under two minutes")
    ap.add_argument("--json", default=str(BENCH_DIR / "results.json"), metavar="PATH",
                    help="where to write the results (default bench/results.json)")
    ap.add_argument("--rounds", type=int, help="override the number of rounds")
    ap.add_argument("--filter", default="", help="only rows whose name or group has this text")
    ap.add_argument("--seed", type=int, default=12345, help="seed of the visiting order")
    ap.add_argument("--no-alloc", action="store_true", help="skip the allocation report")
    args = ap.parse_args(argv)

    profile = dict(PROFILES["quick" if args.quick else "full"])
    if args.rounds:
        profile["rounds"] = args.rounds
        profile["slow_rounds"] = min(profile["slow_rounds"], args.rounds)
    t0 = time.monotonic()
    env = make_env()
    sanity_checks(env)
    cases = [c for c in make_cases()
             if not args.filter or args.filter in c.name or args.filter in c.group]
    for case in cases:
        for v in VARIANTS:
            case.timers[v] = compile_timer(case.stmts[v], env)
    loop_timer = compile_timer("pass", env)

    gc.collect()
    gc.disable()
    try:
        for case in cases:
            calibrate(case, profile["repeat_s"])
        print(f"calibrated {len(cases)} rows in {time.monotonic() - t0:.1f} s; "
              f"{profile['rounds']} rounds", file=sys.stderr, flush=True)
        samples, loop_samples = run_rounds(cases, loop_timer, profile, random.Random(args.seed),
                                           progress=True)
    finally:
        gc.enable()
    loop_ns = statistics.median(loop_samples)
    rows = summarise(cases, samples, loop_ns)
    targets = evaluate_targets(rows)
    alloc = [] if args.no_alloc else allocation_report(env, args.filter)

    print_table(rows, loop_ns)
    print_targets(targets)
    if alloc:
        print_allocations(alloc)
    elapsed = time.monotonic() - t0
    print(f"\n{len(rows)} rows, {profile['rounds']} rounds, {elapsed:.0f} s; "
          f"load average {os.getloadavg()[0]:.2f}")

    result = {
        "meta": {
            "python": sys.version, "implementation": platform.python_implementation(),
            "machine": platform.machine(), "platform": platform.platform(),
            "cryptography": cryptography.__version__, "module": kv_module.__file__,
            "profile": "quick" if args.quick else "full", **profile,
            "seed": args.seed, "filter": args.filter, "loop_ns": loop_ns,
            "cpu_count": os.cpu_count(), "load_average": os.getloadavg(),
            "elapsed_s": elapsed, "date": datetime.now().isoformat(timespec="seconds"),
        },
        "rows": rows, "targets": targets, "allocations": alloc,
    }
    Path(args.json).write_text(json.dumps(result, indent=1) + "\n")
    print(f"results written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
