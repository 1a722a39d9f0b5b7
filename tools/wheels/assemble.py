"""Assembles a wheel of kelvaro_duneth from a built extension module and the package's files.

    python3 assemble.py --so BUILT.so --src src/kelvaro_duneth --meta-from REFERENCE.whl \
        --tag cp39-cp39-linux_aarch64 --out DIR

The wheel holds kelvaro_duneth/ (the Python files, kv_duneth.pyi, py.typed and the module) and
kelvaro_duneth-VERSION.dist-info/ with METADATA and entry_points.txt copied from REFERENCE.whl
(a meson-python build of the same version), a WHEEL file for TAG, and RECORD. Prints the path.
"""
import argparse
import base64
import hashlib
import pathlib
import re
import sys
import zipfile

PACKAGE_FILES = ["__init__.py", "__main__.py", "_cli.py", "kv_duneth.pyi", "py.typed"]
# A fixed time for every member: the same inputs give the same archive.
TIMESTAMP = (2020, 1, 1, 0, 0, 0)


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--so", required=True, type=pathlib.Path)
    parser.add_argument("--src", required=True, type=pathlib.Path)
    parser.add_argument("--meta-from", required=True, type=pathlib.Path)
    parser.add_argument("--tag", required=True)
    parser.add_argument("--out", required=True, type=pathlib.Path)
    args = parser.parse_args(argv)

    if not re.fullmatch(r"kv_duneth\.cpython-[0-9]+[a-z]*-[a-z0-9_]+-linux-gnu\.so", args.so.name):
        parser.error(f"not an extension module file name: {args.so.name}")
    with zipfile.ZipFile(args.meta_from) as ref:
        infos = [n for n in ref.namelist() if re.fullmatch(r"kelvaro_duneth-[^/]+\.dist-info/METADATA", n)]
        if len(infos) != 1:
            parser.error(f"{args.meta_from}: no single dist-info/METADATA")
        dist_info = infos[0].split("/")[0]
        metadata = ref.read(f"{dist_info}/METADATA")
        entry_points = ref.read(f"{dist_info}/entry_points.txt")
    version = dist_info[len("kelvaro_duneth-"):-len(".dist-info")]

    members = [(f"kelvaro_duneth/{n}", (args.src / n).read_bytes()) for n in PACKAGE_FILES]
    members.append((f"kelvaro_duneth/{args.so.name}", args.so.read_bytes()))
    wheel = (f"Wheel-Version: 1.0\nGenerator: kelvaro_duneth tools/wheels/assemble.py\n"
             f"Root-Is-Purelib: false\nTag: {args.tag}\n").encode()
    members += [(f"{dist_info}/METADATA", metadata), (f"{dist_info}/WHEEL", wheel),
                (f"{dist_info}/entry_points.txt", entry_points)]
    record = "".join(record_line(n, d) + "\n" for n, d in members) + f"{dist_info}/RECORD,,\n"
    members.append((f"{dist_info}/RECORD", record.encode()))

    args.out.mkdir(parents=True, exist_ok=True)
    path = args.out / f"kelvaro_duneth-{version}-{args.tag}.whl"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zf:
        for name, data in members:
            info = zipfile.ZipInfo(name, TIMESTAMP)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = (0o755 if name.endswith(".so") else 0o644) << 16
            zf.writestr(info, data)
    print(path)


if __name__ == "__main__":
    main(sys.argv[1:])
