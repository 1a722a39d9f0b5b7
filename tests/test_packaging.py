"""The distributions: the wheel builds with the right tag, installs into a fresh venv and works; the sdist.

Slow (a full build, ~30 s): deselect with `-m "not slow"`.
"""
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
PACKAGE_FILES = {"__init__.py", "__main__.py", "_cli.py", "kv_duneth.pyi", "py.typed"}


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
    with zipfile.ZipFile(wheel) as zf:
        names = set(zf.namelist())
        info = f"kelvaro_duneth-{VERSION}.dist-info/"
        meta = zf.read(info + "METADATA").decode()
        wheel_file = zf.read(info + "WHEEL").decode()
        entry_points = zf.read(info + "entry_points.txt").decode()
    assert {f"kelvaro_duneth/{n}" for n in PACKAGE_FILES} <= names
    assert [n for n in names if re.fullmatch(r"kelvaro_duneth/kv_duneth\.cpython-.*\.so", n)]
    assert {f"Tag: {tag}", "Root-Is-Purelib: false"} <= set(wheel_file.splitlines())
    for line in [f"Version: {VERSION}", "Requires-Python: >=3.7", "Requires-Dist: cryptography",
                 "Classifier: Typing :: Typed", "License: MIT"]:
        assert line + "\n" in meta
    assert "kelvaro-duneth = kelvaro_duneth._cli:main" in entry_points


def test_wheel_installs_into_fresh_venv(wheel, tmp_path):
    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", "--system-site-packages", venv, cwd=tmp_path)
    python = venv / "bin" / "python"
    run(python, "-m", "pip", "install", "--no-index", wheel, cwd=tmp_path)  # cryptography: system
    code = f"""
import kelvaro_duneth, kelvaro_duneth.kv_duneth as m
assert m.__file__.startswith({str(venv) + "/"!r}), m.__file__
assert kelvaro_duneth.__version__ == {VERSION!r}
c = m.kv_duneth("pw")
assert c.decrypt_string(c.encrypt_string("hé")) == "hé"
"""
    run(python, "-c", code, cwd=tmp_path)
    env = dict(os.environ, KELVARO_PASSPHRASE="pw")
    for cli in ([python, "-m", "kelvaro_duneth"], [venv / "bin" / "kelvaro-duneth"]):
        token = run(*cli, "encrypt", "hé", cwd=tmp_path, env=env).stdout
        assert run(*cli, "decrypt", token.strip(), cwd=tmp_path, env=env).stdout == "hé\n"


@pytest.mark.skipif(shutil.which("git") is None or not (ROOT / ".git").exists(),
                    reason="meson dist packs the sources from a git work tree")
def test_sdist(tmp_path):
    """Built through meson-python's own hook (python3-build is not needed)."""
    code = f"import mesonpy; print(mesonpy.build_sdist({str(tmp_path)!r}))"
    name = run(sys.executable, "-c", code, cwd=ROOT).stdout.split()[-1]
    assert name == f"kelvaro_duneth-{VERSION}.tar.gz"
    # meson-python writes .mesonpy-native-file.ini into the source tree and leaves it out
    tracked = {f for f in run("git", "ls-files", cwd=ROOT).stdout.split()
               if (ROOT / f).is_file() and f != ".mesonpy-native-file.ini"}
    with tarfile.open(tmp_path / name) as tar:
        members = {m.name.split("/", 1)[1] for m in tar.getmembers() if "/" in m.name}
        pkg_info = tar.extractfile(f"kelvaro_duneth-{VERSION}/PKG-INFO").read().decode()
    assert tracked <= members, tracked - members
    assert f"Version: {VERSION}\n" in pkg_info and "Classifier: Typing :: Typed\n" in pkg_info
