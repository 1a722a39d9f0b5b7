"""Reads a valgrind memcheck log of smoke.py: error count, leak summary, leaks of the module.

Only "definitely lost" records count: with PYTHONMALLOC=malloc every collected object is
reached through a pointer past its GC header, so whatever is alive at exit shows as "possibly
lost". A leak record belongs to the module when its allocation stack reaches the module's code
before it reaches the interpreter's evaluation loop or another extension: memory that Python
code or cryptography allocated while the module happened to be further down the stack (its
import of cryptography, a Python-level cipher stand-in) is theirs. The interpreter's own leaks
at exit are counted in the summary and not held against the module.

    python3 tools/leaks/vglog.py LOG     exit 1 when the module has errors or leaks
"""
import re
import sys

RECORD = re.compile(r"^==\d+== (\S+ bytes in \S+ blocks are definitely lost.*?)"
                    r"(?=^==\d+== $)", re.M | re.S)
FRAME = re.compile(r"^==\d+==\s+(?:at|by) 0x[0-9A-F]+: (.*)$", re.M)
OURS = re.compile(r"kvd::|kv_duneth\.cpython|/kv_duneth/")
FOREIGN = re.compile(r"_PyEval_EvalFrameDefault|\(in /(?!.*kv_duneth)\S+\.so[.\d]*\)")
ALLOCATOR = re.compile(r"malloc|calloc|realloc|memalign|operator new|vgpreload")


def owner(record):
    """'module' when the module's code allocated this block (directly or through the C API)."""
    for frame in FRAME.findall(record):
        if ALLOCATOR.search(frame) and not OURS.search(frame):
            continue
        if OURS.search(frame):
            return "module"
        if FOREIGN.search(frame):
            return "other"
    return "other"


def main(path):
    log = open(path, encoding="utf-8", errors="replace").read()
    errors = re.search(r"ERROR SUMMARY: (\d+) errors", log)
    summary = dict(re.findall(r"(definitely lost|indirectly lost|possibly lost|still reachable):"
                              r" ([\d,]+ bytes in [\d,]+ blocks)", log))
    records = [m.group(1) for m in RECORD.finditer(log)]
    ours = [r for r in records if owner(r) == "module"]
    passing = sum(1 for r in records if OURS.search(r)) - len(ours)
    print(f"valgrind memcheck: {errors.group(1) if errors else '?'} errors")
    for kind, amount in summary.items():
        print(f"  {kind + ':':<17} {amount} (interpreter and cryptography at exit)")
    print(f"  definitely-lost records: {len(records)}; allocated by the module: {len(ours)}; "
          f"with the module only further down the stack: {passing}")
    for record in ours:
        print("\n" + "\n".join(record.splitlines()[:25]))
    return 0 if errors and errors.group(1) == "0" and not ours else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
