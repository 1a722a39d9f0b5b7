"""Throughput of N threads encrypting on N objects, against one thread (for free-threaded builds).

Each object holds a stand-in cipher whose encrypt is the builtin `bytes`, so the figure is the
module's own wrapper: on a free-threaded interpreter it should scale with the cores; under a GIL
it cannot. `python bench/ft_scaling.py [SECONDS] [MAX_THREADS]`.
"""
import os
import sys
import threading
import time
import types

import kelvaro_duneth.kv_duneth as m


def calls_per_second(threads, seconds):
    objects = []
    for _ in range(threads):
        o = m.kv_duneth.__new__(m.kv_duneth)
        o.__setstate__((types.SimpleNamespace(encrypt=bytes, decrypt=bytes), None))
        objects.append(o)
    counts, start = [0] * threads, threading.Barrier(threads + 1)
    stop = threading.Event()

    def work(i):
        o, data = objects[i], bytes(16)  # each thread's own: no reference count is shared
        encrypt = o.encrypt_data
        start.wait()
        n = 0
        while not stop.is_set():
            for _ in range(1000):
                encrypt(data)
            n += 1000
        counts[i] = n

    pool = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for t in pool:
        t.start()
    start.wait()
    time.sleep(seconds)
    stop.set()
    for t in pool:
        t.join()
    return sum(counts) / seconds


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 2.0
    most = int(sys.argv[2]) if len(sys.argv) > 2 else (os.cpu_count() or 2)
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    print(f"encrypt_data on N objects, {seconds:g} s each, GIL {'on' if gil else 'off'}, "
          f"{os.cpu_count()} cores")
    one = calls_per_second(1, seconds)
    print(f"  1 thread : {one / 1e6:6.2f} M calls/s")
    for n in range(2, most + 1):
        rate = calls_per_second(n, seconds)
        print(f"  {n} threads: {rate / 1e6:6.2f} M calls/s  ({rate / one:.2f}x one thread)")


if __name__ == "__main__":
    main()
