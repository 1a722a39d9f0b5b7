"""The distributions: the wheel builds with the right tag, installs into a fresh venv and works; the sdist.
Both carry LICENSE and name it in their metadata.

Slow (a full build, ~30 s): deselect with `-m "not slow"`.
"""
import base64
import hashlib
import importlib.util
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile

import pytest

pytestmark = pytest.mark.slow

ROOT = pathlib.Path(__file__).resolve().parents[1]
if not (ROOT / "meson.build").is_file():
    pytest.skip("the sources are not beside these tests", allow_module_level=True)
pytest.importorskip("mesonpy", reason="meson-python (python3-mesonpy) builds the distributions")
VERSION = re.search(r"^\s*version:\s*'([^']+)'", (ROOT / "meson.build").read_text(), re.M).group(1)
PACKAGE_FILES = {"__init__.py", "__main__.py", "_cli.py", "_fernet.py", "kv_duneth.pyi", "py.typed"}
METADATA_LINES = [f"Version: {VERSION}", "Requires-Python: >=3.7", "Requires-Dist: cryptography>=3.3.2",
                  "Classifier: Typing :: Typed", "License: MIT", "License-File: LICENSE",
                  "Author: The kelvaro_duneth developers"]


def run(*cmd, cwd, **kwargs):
    result = subprocess.run([str(c) for c in cmd], cwd=cwd, capture_output=True, text=True,
                            timeout=300, **kwargs)
    assert result.returncode == 0, f"{cmd}\n{result.stdout}\n{result.stderr}"
    return result


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    run(sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index",
        "-w", out, ROOT, cwd=out)
    wheels = list(out.glob("*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


def test_wheel_name_tag_and_contents(wheel):
    impl = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    tag = f"{impl}-{impl}-{platform}"  # cp311-cp311-linux_x86_64 for Debian 12's python3
    assert wheel.name == f"kelvaro_duneth-{VERSION}-{tag}.whl"
    info = f"kelvaro_duneth-{VERSION}.dist-info/"
    with zipfile.ZipFile(wheel) as zf:
        files = {name: zf.read(name) for name in zf.namelist()}
    meta, wheel_file = files[info + "METADATA"].decode(), files[info + "WHEEL"].decode()
    assert {f"kelvaro_duneth/{n}" for n in PACKAGE_FILES} <= set(files)
    assert [n for n in files if re.fullmatch(r"kelvaro_duneth/kv_duneth\.cpython-.*\.so", n)]
    assert {f"Tag: {tag}", "Root-Is-Purelib: false"} <= set(wheel_file.splitlines())
    headers = meta.split("\n\n", 1)[0].splitlines()
    assert set(METADATA_LINES) <= set(headers), headers
    assert files[info + "licenses/LICENSE"] == (ROOT / "LICENSE").read_bytes()
    assert "kelvaro-duneth = kelvaro_duneth._cli:main" in files[info + "entry_points.txt"].decode()
    # RECORD lists every other file with its digest and size (the license step rewrites it)
    record = {}
    for line in files.pop(info + "RECORD").decode().splitlines():
        name, digest, size = line.rsplit(",", 2)
        record[name] = (digest, size)
    assert record.pop(info + "RECORD") == ("", "")
    assert record == {name: ("sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest())
                             .rstrip(b"=").decode(), str(len(data))) for name, data in files.items()}


def test_wheel_installs_into_fresh_venv(wheel, tmp_path):
    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", "--system-site-packages", venv, cwd=tmp_path)
    python = venv / "bin" / "python"
    run(python, "-m", "pip", "install", "--no-index", wheel, cwd=tmp_path)  # cryptography: system
    code = f"""
import kelvaro_duneth, kelvaro_duneth.kv_duneth as m
assert m.__file__.startswith({str(venv) + "/"!r}), m.__file__
assert kelvaro_duneth.__version__ == kelvaro_duneth._version_beside_package() == {VERSION!r}
c = m.kv_duneth("pw")
assert c.decrypt_string(c.encrypt_string("hé")) == "hé"
"""
    run(python, "-c", code, cwd=tmp_path)
    env = dict(os.environ, KELVARO_PASSPHRASE="pw")
    for cli in ([python, "-m", "kelvaro_duneth"], [venv / "bin" / "kelvaro-duneth"]):
        token = run(*cli, "encrypt", cwd=tmp_path, env=env, input="hé").stdout
        assert run(*cli, "decrypt", cwd=tmp_path, env=env, input=token).stdout == "hé"


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    """Built through the backend's hook, as a PEP 517 frontend would (python3-build is not needed)."""
    if shutil.which("git") is None or not (ROOT / ".git").exists():
        pytest.skip("meson dist packs the sources from a git work tree")
    out = tmp_path_factory.mktemp("sdist")
    pyproject = (ROOT / "pyproject.toml").read_text()
    backend = re.search(r'^build-backend = "([^"]+)"', pyproject, re.M).group(1)
    path = re.search(r'^backend-path = \["([^"]+)"\]', pyproject, re.M).group(1)
    code = (f"import sys; sys.path.insert(0, {path!r}); import {backend}; "
            f"print({backend}.build_sdist({str(out)!r}))")
    return out / run(sys.executable, "-c", code, cwd=ROOT).stdout.split()[-1]


def test_sdist(sdist):
    assert sdist.name == f"kelvaro_duneth-{VERSION}.tar.gz"
    # meson-python writes .mesonpy-native-file.ini into the source tree and leaves it out
    tracked = {f for f in run("git", "ls-files", cwd=ROOT).stdout.split()
               if (ROOT / f).is_file() and f != ".mesonpy-native-file.ini"}
    with tarfile.open(sdist) as tar:
        members = {m.name.split("/", 1)[1] for m in tar.getmembers() if "/" in m.name}
        pkg_info = tar.extractfile(f"kelvaro_duneth-{VERSION}/PKG-INFO").read().decode()
    assert tracked | {"LICENSE"} <= members, tracked - members
    headers = pkg_info.split("\n\n", 1)[0].splitlines()
    assert set(METADATA_LINES) <= set(headers), headers


@pytest.mark.skipif(importlib.util.find_spec("twine") is None, reason="twine is not installed")
def test_twine_check_strict(wheel, sdist):
    run(sys.executable, "-m", "twine", "check", "--strict", wheel, sdist, cwd=sdist.parent)
