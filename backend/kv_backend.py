"""The build backend (pyproject.toml): meson-python's, with the license file in every distribution.

meson-python 0.12 (Debian 12) neither ships a license file with `license = {text = ...}` nor
can it name one in the metadata. Each hook here calls meson-python's and then completes what
it wrote:

- a wheel gets LICENSE as NAME.dist-info/licenses/LICENSE, a "License-File: LICENSE" line in
  its METADATA and a RECORD that lists both;
- an sdist gets the same line in its PKG-INFO; LICENSE itself is a tracked file, which
  `meson dist` packs.

A distribution that names the file already (a newer meson-python) is left as it is. PEP 517
runs the hooks in the source tree, so LICENSE is read from the working directory.
"""
import base64
import gzip
import hashlib
import io
import os
import pathlib
import re
import tarfile
import zipfile

try:
    import mesonpy
except ImportError:  # one line for the user, not an ImportError that pip shows as a traceback
    raise SystemExit("kv_backend: meson-python is not installed for this interpreter: install it "
                     "(Debian 12: apt install python3-mesonpy; elsewhere: pip install "
                     "meson-python), or build without --no-build-isolation") from None
from mesonpy import get_requires_for_build_sdist, get_requires_for_build_wheel  # noqa: F401

LICENSE = "LICENSE"
FIELD = f"License-File: {LICENSE}".encode()

if hasattr(mesonpy, "build_editable"):  # newer meson-python: editable installs as they are
    from mesonpy import build_editable, get_requires_for_build_editable  # noqa: F401


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    name = mesonpy.build_wheel(wheel_directory, config_settings, metadata_directory)
    add_license_to_wheel(pathlib.Path(wheel_directory, name))
    return name


def build_sdist(sdist_directory, config_settings=None):
    name = mesonpy.build_sdist(sdist_directory, config_settings)
    add_license_field_to_sdist(pathlib.Path(sdist_directory, name))
    return name


def with_license_field(metadata):
    """The metadata with FIELD appended to its headers, unless it is among them already."""
    head, blank, body = metadata.partition(b"\n\n")
    if FIELD in head.split(b"\n"):
        return metadata
    return head.rstrip(b"\n") + b"\n" + FIELD + b"\n" + (b"\n" + body if blank else b"")


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


def add_license_to_wheel(path):
    with zipfile.ZipFile(path) as zf:
        members = [(info, zf.read(info)) for info in zf.infolist()]
    (meta_info,) = [i for i, _ in members if re.fullmatch(r"[^/]+\.dist-info/METADATA", i.filename)]
    dist_info = meta_info.filename.split("/")[0]
    license_name, record_name = f"{dist_info}/licenses/{LICENSE}", f"{dist_info}/RECORD"
    record_info = next(i for i, _ in members if i.filename == record_name)
    kept = [(i, with_license_field(d) if i is meta_info else d)
            for i, d in members if i is not record_info]
    if all(i.filename != license_name for i, _ in kept):
        info = zipfile.ZipInfo(license_name, meta_info.date_time)
        info.compress_type, info.external_attr = zipfile.ZIP_DEFLATED, 0o644 << 16
        kept.append((info, pathlib.Path(LICENSE).read_bytes()))
    record = "".join(record_line(i.filename, d) for i, d in kept) + f"{record_name},,\n"
    replace_atomically(path, lambda tmp: write_zip(tmp, kept + [(record_info, record.encode())]))


def add_license_field_to_sdist(path):
    with tarfile.open(path, "r:gz") as tar:
        members = [(m, tar.extractfile(m).read() if m.isfile() else None) for m in tar.getmembers()]
    (pkg_info,) = [m for m, _ in members if re.fullmatch(r"[^/]+/PKG-INFO", m.name)]
    root = pkg_info.name.split("/")[0]
    if all(m.name != f"{root}/{LICENSE}" for m, _ in members):
        raise SystemExit(f"kv_backend: {LICENSE} is not in {path.name}: is it committed?")
    members = [(m, with_license_field(d) if m is pkg_info else d) for m, d in members]
    replace_atomically(path, lambda tmp: write_targz(tmp, path.name, members))


def write_zip(path, members):
    with zipfile.ZipFile(path, "w") as zf:
        for info, data in members:
            zf.writestr(info, data)


def write_targz(path, name, members):
    # As meson-python writes it: the final name in the gzip header, SOURCE_DATE_EPOCH (when set)
    # as its time.
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    with open(path, "wb") as raw, \
            gzip.GzipFile(name, "wb", fileobj=raw, mtime=int(epoch) if epoch else None) as gz, \
            tarfile.TarFile(mode="w", fileobj=gz, format=tarfile.PAX_FORMAT) as tar:
        for member, data in members:
            if data is None:
                tar.addfile(member)
                continue
            member.size = len(data)
            tar.addfile(member, fileobj=io.BytesIO(data))


def replace_atomically(path, write):
    tmp = path.with_name(path.name + ".tmp")
    try:
        write(tmp)
        os.replace(tmp, path)
    finally:
        if tmp.exists():
            tmp.unlink()
