"""The installed stubs: stubtest against the extension, and mypy --strict on typical (and wrong) use."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

pytest.importorskip("mypy", reason="mypy is not installed (Debian: python3-mypy)")

HERE = pathlib.Path(__file__).resolve().parent
ALLOWLIST = HERE / "data" / "stubtest_allowlist.txt"


def run_mypy_tool(module, *args, cwd, env=None):
    return subprocess.run([sys.executable, "-m", module, *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=300,
                          env=dict(os.environ, **(env or {})))


@pytest.fixture(scope="module")
def installed_stub(mod):
    stub = pathlib.Path(mod.__file__).with_name("kv_duneth.pyi")
    installed = list(stub.parents[1].glob("kelvaro_duneth-*.dist-info"))
    if not installed and not stub.exists():
        pytest.skip("the module was not installed from a distribution and has no stub beside it")
    assert stub.is_file() and stub.with_name("py.typed").is_file()
    return stub


def test_stubtest_passes(installed_stub, tmp_path):
    result = run_mypy_tool("mypy.stubtest", "kelvaro_duneth.kv_duneth", "--allowlist", ALLOWLIST,
                           cwd=tmp_path)  # an unused allowlist entry fails too
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubtest_reports_a_drifted_stub(installed_stub, tmp_path):
    """The same run, on a copy of the stub with four faults, names each of them."""
    text = installed_stub.read_text()
    for old, new in [("encrypt_string(self, input_string", "encrypt_string(self, text"),
                     ("SupportsInt = ...", "SupportsInt"),  # generate_end_date's defaults
                     ("    def get_today_date(self) -> str: ...\n", ""),
                     ("class kv_duneth:\n", "class kv_duneth:\n    def rekey(self) -> None: ...\n")]:
        assert old in text
        text = text.replace(old, new)
    stubs = tmp_path / "stubs" / "kelvaro_duneth"
    stubs.mkdir(parents=True)
    (stubs / "__init__.pyi").write_text("")
    (stubs / "kv_duneth.pyi").write_text(text)
    result = run_mypy_tool("mypy.stubtest", "kelvaro_duneth.kv_duneth", "--allowlist", ALLOWLIST,
                           cwd=tmp_path, env={"MYPYPATH": str(tmp_path / "stubs")})
    reported = set(re.findall(r"^error: kelvaro_duneth\.kv_duneth\.kv_duneth\.(\w+)",
                              result.stdout, re.M))
    assert reported == {"encrypt_string", "generate_end_date", "get_today_date", "rekey"}, \
        result.stdout


BAD_USAGE = [  # each line must be rejected by mypy --strict
    "c.decrypt_string(token).upper()",            # the result may be None
    "c.decrypt_data(b'') + b''",
    "c.secret_key_to_string('k', token).strip()",
    "c.encrypt_string(b'bytes')",                 # text and bytes are not interchangeable
    "c.encrypt_data('text')",
    "c.encrypt_string(text='x')",                 # parameter names are the module's
    "c.generate_end_date('1')",                   # no __int__
    "c.get_today_date(1)",
    "n: int = c.string_to_secret_key('p')",
    "kv_duneth()",
    "kv_duneth(secret_key=b'p')",
    "1 + kelvaro_duneth.__version__",
]


def test_mypy_strict(installed_stub, tmp_path):
    header = ("import kelvaro_duneth\nfrom kelvaro_duneth.kv_duneth import kv_duneth\n"
              "c = kv_duneth('p')\ntoken = c.encrypt_string('x')\n")
    bad = tmp_path / "bad_usage.py"
    bad.write_text(header + "".join(line + "\n" for line in BAD_USAGE))
    first = header.count("\n") + 1
    # --python-version 3.7: the stubs must parse there too (no "/" markers, no "X | None")
    result = run_mypy_tool("mypy", "--strict", "--python-version", "3.7", "--cache-dir", tmp_path / "c",
                           HERE / "typed_sample.py", bad, cwd=tmp_path)
    errors = re.findall(r"^(.+?):(\d+): error:", result.stdout, re.M)
    assert {pathlib.Path(name).name for name, _ in errors} == {bad.name}, result.stdout  # sample: clean
    assert sorted({int(line) for _, line in errors}) == list(range(first, first + len(BAD_USAGE))), \
        result.stdout
