"""Reference and memory-block leak check of kelvaro_duneth.kv_duneth, for a debug interpreter.

Runs every scenario of scenarios.py many times and compares sys.gettotalrefcount() and
sys.getallocatedblocks() before and after, per scenario, in a few rounds after a warm-up
(caches, interned names, code objects of traceback entries, method caches all fill during the
warm-up). A pure Python baseline scenario shows the noise floor. Exits 1 when any scenario
leaks (see leaking()), 2 when a scenario's outcome is not the expected one.

    python3-dbg tools/leaks/refleaks.py [--iterations N] [--warmup N] [--tolerance N] [-k TEXT]
"""
import argparse
import gc
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import scenarios  # noqa: E402


def counts():
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def measure(scenario, iterations, warmup, rounds):
    """Per round: (refs, blocks) growth over iterations // rounds calls."""
    per_round = iterations // rounds
    deltas = []
    with scenario.context():
        once = scenario.once
        for _ in range(warmup):
            once()
        for _ in range(rounds):
            refs0, blocks0 = counts()
            for _ in range(per_round):
                once()
            refs1, blocks1 = counts()
            deltas.append((refs1 - refs0, blocks1 - blocks0))
    return deltas


def calibrate(iterations, rounds):
    """What measuring itself adds (the integers it holds), per round: subtracted from every
    figure."""
    nothing = scenarios.Scenario("", "", lambda: None, type(None))
    runs = [measure(nothing, iterations, 10, rounds) for _ in range(3)]
    return [min(run[i] for run in runs) for i in range(rounds)]


def measure_net(scenario, args, zero):
    measured = measure(scenario, args.iterations, args.warmup, args.rounds)
    return [(r - r0, b - b0) for (r, b), (r0, b0) in zip(measured, zero)]


def leaking(deltas, tolerance, iterations):
    """Reference growth beyond the tolerance is a leak. Block counts also move with the
    interpreter's free lists and table sizes (a pure Python pickle.loads moves them by dozens
    on its first rounds), so block growth counts when it shows in every round and reaches one
    block per hundred calls: a path that leaks leaks on every call."""
    refs = sum(r for r, _ in deltas)
    blocks = sum(b for _, b in deltas)
    block_tolerance = max(tolerance, iterations // 100)
    return refs > tolerance or (blocks > block_tolerance and all(b > 0 for _, b in deltas))


def canaries():
    """A reference leaked per call (Py_IncRef) and a memory block leaked per call (PyMem_Malloc
    without free): proof that the measurement sees what it is meant to see."""
    import ctypes
    api = ctypes.pythonapi
    api.Py_IncRef.argtypes = [ctypes.py_object]
    api.Py_IncRef.restype = None
    api.PyMem_Malloc.restype = ctypes.c_void_p
    api.PyMem_Malloc.argtypes = [ctypes.c_size_t]
    target = object()
    return [scenarios.Scenario("canary", "Py_IncRef per call", lambda: api.Py_IncRef(target),
                               type(None)),
            scenarios.Scenario("canary", "PyMem_Malloc per call", lambda: api.PyMem_Malloc(24),
                               int)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=10_000)
    parser.add_argument("--warmup", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=4,
                        help="measured rounds per scenario, sharing the iterations")
    parser.add_argument("--tolerance", type=int, default=10,
                        help="largest reference growth per scenario not counted as a leak")
    parser.add_argument("-k", dest="select", default="", help="only scenarios whose name has TEXT")
    parser.add_argument("--canary", action="store_true",
                        help="measure two deliberate leaks instead: both must be reported")
    args = parser.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("refleaks.py needs a debug interpreter (python3-dbg): no sys.gettotalrefcount")

    print(f"module: {scenarios.m.__file__}")
    print(f"python: {sys.version.split()[0]} debug, {args.iterations} calls per scenario after "
          f"{args.warmup} warm-up calls; tolerance: {args.tolerance} references, "
          f"{max(args.tolerance, args.iterations // 100)} blocks growing in every round")
    started = time.monotonic()
    leaks, wrong = [], []
    with scenarios.install_stand_ins():
        table = canaries() if args.canary else [scenarios.baseline()] + scenarios.build()
        table = [s for s in table if args.select in s.name]
        zero = calibrate(args.iterations, args.rounds)
        print(f"{'group':<14} {'scenario':<58} {'refs':>6} {'blocks':>6} {'time':>6}")
        for scenario in table:
            t0 = time.monotonic()
            flag = ""
            try:
                deltas = measure_net(scenario, args, zero)
                if leaking(deltas, args.tolerance, args.iterations):
                    # The first pass over a path can still grow the interpreter's own tables
                    # (a pure Python pickle.loads does): growth counts only if it comes again.
                    deltas = measure_net(scenario, args, zero)
                    flag = "  (measured twice)"
            except AssertionError as exc:
                wrong.append(str(exc))
                print(f"{scenario.group:<14} {scenario.name:<58} OUTCOME: {exc}")
                continue
            refs, blocks = sum(r for r, _ in deltas), sum(b for _, b in deltas)
            if leaking(deltas, args.tolerance, args.iterations):
                leaks.append(scenario.name)
                flag = "  LEAK"
            print(f"{scenario.group:<14} {scenario.name:<58} {refs:>+6} {blocks:>+6} "
                  f"{time.monotonic() - t0:>5.1f}s{flag}")
            sys.stdout.flush()
    elapsed = time.monotonic() - started
    print(f"\n{len(table)} scenarios, {len(table) * args.iterations} measured calls in "
          f"{elapsed:.0f} s: {len(leaks)} leaking, {len(wrong)} with an unexpected outcome")
    for name in leaks:
        print(f"LEAK: {name}")
    for text in wrong:
        print(f"OUTCOME: {text}")
    sys.exit(2 if wrong else 1 if leaks else 0)


if __name__ == "__main__":
    main()
