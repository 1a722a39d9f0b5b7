"""The documentation users run: the README's Python examples and the package docstring's doctest."""
import doctest
import os
import pathlib
import re
import subprocess
import sys

import pytest

import kelvaro_duneth
from cli_run import real_cryptography

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
TABLE = README.parent / "tools" / "interpreters.txt"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), re.S | re.M) \
    if README.is_file() else []
DATE = r"\d{4}-\d\d-\d\d"


def commented_outputs(block):
    """What each `print(...)  # X` line says it prints: X up to the first blank or colon."""
    return [m.group(1) for m in re.finditer(r"^print\(.*\)\s+# ([^\s:]+)", block, re.M)]


def after_commands(block):
    """A block that reads files the README's shell commands make runs only where they do."""
    return pytest.param(block, marks=real_cryptography) if "fernet.key" in block else block


@pytest.mark.skipif(not BLOCKS, reason="the README is not beside these tests")
@pytest.mark.parametrize("block", [after_commands(b) for b in BLOCKS],
                         ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs_as_pasted(block, tmp_path):
    if "fernet.key" in block:  # the files the shell commands before it make
        (tmp_path / "notes.txt").write_text("hello\n")
        env = dict(os.environ, KELVARO_PASSPHRASE="correct horse battery staple")
        for command in (["key", "-o", "fernet.key"],
                        ["encrypt", "notes.txt", "-o", "notes.tok"]):
            subprocess.run([sys.executable, "-m", "kelvaro_duneth", *command], cwd=tmp_path,
                           env=env, check=True, timeout=120)
    result = subprocess.run([sys.executable, "-c", block], capture_output=True, timeout=120,
                            cwd=tmp_path, encoding="utf-8")
    assert result.returncode == 0 and not result.stderr, result.stderr
    printed, expected = result.stdout.splitlines(), commented_outputs(block)
    assert expected and len(printed) == len(expected), (printed, expected)
    for out, claim in zip(printed, expected):
        assert re.fullmatch(DATE, out) if re.fullmatch(DATE, claim) else out == claim


def test_package_docstring_examples():
    results = doctest.testmod(kelvaro_duneth)
    assert results.attempted and not results.failed


def supported():
    """CPython version -> (its wheels' architectures, whether a real cryptography tests it)."""
    found = {}
    for row in TABLE.read_text(encoding="utf-8").splitlines():
        if row.strip() and not row.lstrip().startswith("#"):
            version, where, _, roles = row.split()
            arches, real = found.get(version, (set(), False))
            arches |= {r[len("wheel-"):] for r in roles.split(",") if r.startswith("wheel-")}
            found[version] = (arches, real or where not in ("pyenv", "by-hand"))
    return found


@pytest.mark.skipif(not TABLE.is_file(), reason="the sources are not beside these tests")
def test_readme_support_table_and_classifiers_follow_the_interpreter_table():
    section = README.read_text(encoding="utf-8").split("## Supported interpreters")[1].split("\n## ")[0]
    rows = re.findall(r"^\| ([\d.t, ]+?)(?: \(free-threaded\))? \| (.*?) \| (.*?) \|$", section, re.M)
    readme = {version: (set(re.findall(r"x86_64|aarch64", wheels)), tested != "test double")
              for versions, wheels, tested in rows for version in versions.split(", ")}
    assert readme == supported()
    pyproject = (README.parent / "pyproject.toml").read_text(encoding="utf-8")
    assert set(re.findall(r"Python :: (3\.\d+)\"", pyproject)) == {
        version for version in supported() if not version.endswith("t")}
