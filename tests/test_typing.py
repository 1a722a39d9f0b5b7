"""The installed stubs: stubtest against the extension, mypy --strict on typical and wrong use, and
the runtime's agreement with both."""
import ast
import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None,
                                reason="mypy is not installed (Debian: python3-mypy)")

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


def test_stub_documents_the_class_and_every_function(installed_stub):
    """The compiled class has no docstrings by design: the stub carries them."""
    tree = ast.parse(installed_stub.read_text())
    undocumented = [node.name for node in ast.walk(tree)
                    if isinstance(node, (ast.ClassDef, ast.FunctionDef))
                    and not ast.get_docstring(node)]
    assert undocumented == []


@needs_mypy
def test_stubtest_passes(installed_stub, tmp_path):
    result = run_mypy_tool("mypy.stubtest", "kelvaro_duneth.kv_duneth", "--allowlist", ALLOWLIST,
                           cwd=tmp_path)  # an unused allowlist entry fails too
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_stubtest_reports_a_drifted_stub(installed_stub, tmp_path):
    """The same run, on a copy of the stub with four faults, names each of them."""
    text = installed_stub.read_text()
    for pattern, new in [(r"encrypt_string\(self, input_string", "encrypt_string(self, text"),
                         (r"SupportsInt = \.\.\.", "SupportsInt"),  # generate_end_date's defaults
                         (r"    def get_today_date\(self\).*?\n(?=    def )", ""),
                         (r"\n(?=    def __reduce__)", "\n    def rekey(self) -> None: ...\n")]:
        text, count = re.subn(pattern, new, text, flags=re.S)
        assert count, pattern
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


# At least one misuse of every method, each rejected by mypy --strict and failing at run time
# as well: the stub refuses what the runtime refuses (None included where it raises).
MISUSE = [  # (method, line, what the runtime raises)
    ("__init__", "kv_duneth(None)", AttributeError),
    ("__init__", "kv_duneth(secret_key=b'p')", TypeError),
    ("__init__", "kv_duneth()", TypeError),
    ("encrypt_string", "c.encrypt_string(None)", AttributeError),
    ("encrypt_string", "c.encrypt_string(b'bytes')", TypeError),  # text and bytes differ
    ("encrypt_string", "c.encrypt_string(text='x')", TypeError),  # the module's names
    ("decrypt_string", "c.decrypt_string('not a token').upper()", AttributeError),  # maybe None
    ("encrypt_data", "c.encrypt_data(None)", TypeError),
    ("encrypt_data", "c.encrypt_data('text')", TypeError),
    ("decrypt_data", "c.decrypt_data(b'') + b''", TypeError),
    ("string_to_secret_key", "c.string_to_secret_key(None)", AttributeError),
    ("secret_key_to_string", "c.secret_key_to_string('k', token).strip()", AttributeError),
    ("secret_key_to_string", "c.secret_key_to_string(b'k', token)", TypeError),
    ("get_today_date", "c.get_today_date(1)", TypeError),
    ("generate_end_date", "c.generate_end_date('1')", TypeError),  # no __int__
    ("__setstate__", "c.__setstate__(None)", TypeError),
    ("__version__", "1 + kelvaro_duneth.__version__", TypeError),
]
HEADER = ("import kelvaro_duneth\nfrom kelvaro_duneth.kv_duneth import kv_duneth\n"
          "c = kv_duneth('p')\ntoken = c.encrypt_string('x')\n")


def test_every_method_has_a_misuse(cipher_class):
    public = {name for name in vars(cipher_class) if not name.startswith("_")}
    covered = {method for method, _, _ in MISUSE}
    assert covered == public | {"__init__", "__setstate__", "__version__"}


@needs_mypy
def test_mypy_strict(installed_stub, tmp_path):
    bad = tmp_path / "bad_usage.py"
    bad.write_text(HEADER + "".join(line + "\n" for _, line, _ in MISUSE))
    first = HEADER.count("\n") + 1
    # --python-version 3.7: the stubs must parse there too (no "/" markers, no "X | None")
    result = run_mypy_tool("mypy", "--strict", "--python-version", "3.7", "--cache-dir", tmp_path / "c",
                           HERE / "typed_sample.py", bad, cwd=tmp_path)
    errors = re.findall(r"^(.+?):(\d+): error:", result.stdout, re.M)
    assert {pathlib.Path(name).name for name, _ in errors} == {bad.name}, result.stdout  # sample: clean
    assert sorted({int(line) for _, line in errors}) == list(range(first, first + len(MISUSE))), \
        result.stdout


@pytest.fixture(scope="module")
def misuse_namespace(cipher_class):
    namespace = {}
    exec(HEADER, namespace)  # a keyed object of its own: __setstate__ is called on it
    return namespace


@pytest.mark.parametrize("line, error", [(line, error) for _, line, error in MISUSE])
def test_misuse_fails_at_run_time(misuse_namespace, line, error):
    with pytest.raises(error):
        exec(line, dict(misuse_namespace))


def test_typed_sample_runs(installed_stub):
    """What mypy accepts in the sample, None where the stub allows it included, runs."""
    result = subprocess.run([sys.executable, str(HERE / "typed_sample.py")], capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "None None None True"
