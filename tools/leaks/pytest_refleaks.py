"""Reference and memory-block leak checks of the test suite's own tests, for a debug interpreter.

    python3-dbg -m pytest -p pytest_refleaks [--refleaks WARMUP:ROUNDS] ...   (tools/leaks on sys.path)

As CPython's regrtest -R does: each test runs WARMUP times (caches, interned names, method caches
fill), then ROUNDS times with sys.gettotalrefcount() and sys.getallocatedblocks() read, after a
collection and with the caches that each run fills emptied, at the start of each run (a run:
set-up, call and tear-down of its function-scoped fixtures), then once more, reported to pytest. A test leaks when either count grows in every
measured round: a path that leaks, leaks on every run, while the interpreter's own tables grow
only now and then. A failing run stops the repetition and is reported.
Not repeated (run once, unmeasured): tests that start a process (seen on their first run, through
subprocess.Popen: the command line, the interpreters of run_py, the wheel builds), whose work
happens elsewhere.
"""
import array
import contextlib
import gc
import re
import subprocess
import sys

import pytest
from _pytest.runner import runtestprotocol

LEAKS = []


def pytest_addoption(parser):
    parser.addoption("--refleaks", default="3:3", metavar="WARMUP:ROUNDS",
                     help="runs of each test before measuring, and measured runs")


def pytest_configure(config):
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("pytest_refleaks needs a debug interpreter (python3-dbg)")
    config.refleak_runs = tuple(int(n) for n in config.getoption("refleaks").split(":"))


class Spawns:
    """Notes, while in use, whether a process is started."""

    def __enter__(self):
        self.seen, self.real, note = False, subprocess.Popen, self

        class Noting(subprocess.Popen):
            def __init__(self, *args, **kwargs):
                note.seen = True
                super().__init__(*args, **kwargs)
        subprocess.Popen = Noting
        return self

    def __exit__(self, *exc):
        subprocess.Popen = self.real


class Sibling:
    """Stands for the next test as the tear-down sees it: the same test again, so that its own
    fixtures are torn down and the wider ones are kept."""

    def __init__(self, item):
        self.chain = item.listchain()[:-1]

    def listchain(self):
        return self.chain


def wider_finalizers(item):
    """The finalizer lists of the nodes and fixtures that outlive a run. Each run of a test
    appends to them (a finish() per use of a wider fixture, which the first one does as well):
    pytest's own growth, trimmed back after each run."""
    lists = [fins for node, (fins, _) in item.session._setupstate.stack.items() if node is not item]
    for defs in item._fixtureinfo.name2fixturedefs.values():
        lists += [fixturedef._finalizers for fixturedef in defs]
    return lists


def clear_caches():
    """Caches that fill with each run's new objects, emptied before each count (regrtest's -R
    does the same): compiled patterns (pytest.raises(match=...)) and hypothesis's strategies."""
    re.purge()
    sys._clear_type_cache()
    strategies = sys.modules.get("hypothesis.strategies._internal.utils")
    if strategies is not None:
        strategies.clear_cache()


def count(marks, k):
    """Stores the counts in a preallocated array: keeping them allocates nothing."""
    clear_caches()
    gc.collect()
    gc.collect()
    marks[2 * k] = sys.gettotalrefcount()
    marks[2 * k + 1] = sys.getallocatedblocks()


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    warmup, rounds = item.config.refleak_runs
    marks, measured, again = array.array("q", bytes(16 * (rounds + 1))), False, Sibling(item)
    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    for run in range(warmup + rounds + 1):
        # Function-scoped fixtures are made again each run; the wider ones stay until the last
        # run, which is reported and not measured. Counts are taken at the start of each run,
        # holding what the run before left: one set of reports, one fixture request.
        last = run == warmup + rounds
        item._initrequest()
        if run >= warmup:
            count(marks, run - warmup)
        with Spawns() if run == 0 else contextlib.nullcontext() as spawns:
            reports = runtestprotocol(item, nextitem=nextitem if last else again, log=False)
        item._report_sections.clear()
        if run == 0:
            finalizers = [(fins, len(fins)) for fins in wider_finalizers(item)]
        elif not last:
            for fins, size in finalizers:
                del fins[size:]
        failed = any(report.failed for report in reports)
        if failed or any(report.skipped for report in reports) or run == 0 and spawns.seen:
            if not last:  # the wider fixtures, as the last run would have left them
                item.session._setupstate.teardown_exact(nextitem)
            break
    else:
        measured = True
    deltas = [(marks[2 * k + 2] - marks[2 * k], marks[2 * k + 3] - marks[2 * k + 1])
              for k in range(rounds)]
    for report in reports:
        item.ihook.pytest_runtest_logreport(report=report)
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    if measured and any(all(d[i] >= 1 for d in deltas) for i in (0, 1)):
        LEAKS.append((item.nodeid, deltas))
    return True


def pytest_terminal_summary(terminalreporter):
    warmup, rounds = terminalreporter.config.refleak_runs
    write = terminalreporter.write_line
    write(f"refleaks: {warmup} warm-up and {rounds} measured runs per repeated test; "
          f"{len(LEAKS)} leaking")
    for nodeid, deltas in LEAKS:
        write(f"LEAK: {nodeid}: references {[r for r, _ in deltas]}, "
              f"blocks {[b for _, b in deltas]}")


def pytest_sessionfinish(session):
    if LEAKS and session.exitstatus == 0:
        session.exitstatus = 1
