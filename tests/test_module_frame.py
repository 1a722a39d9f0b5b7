"""Module frame: import behaviour, namespaces, the class, its function objects, GC and argument binding."""
import gc
import inspect
import sys
import traceback
import weakref

import pytest

from helpers import PASSPHRASE
from model import multiple, needs_argument, takes, unexpected
from fakes import through_cipher

SRC, STR_SRC = "kelvaro_duneth/kv_duneth", "<stringsource>"
METHODS = [  # name, parameters after self, first line, file
    ("generate_end_date", ("years", "months", "days"), 63, SRC), ("get_today_date", (), 80, SRC),
    ("string_to_secret_key", ("input_string",), 83, SRC),
    ("secret_key_to_string", ("secret_key", "encrypted_string"), 94, SRC),
    ("encrypt_string", ("input_string",), 102, SRC), ("decrypt_string", ("encrypted_string",), 106, SRC),
    ("encrypt_data", ("data",), 113, SRC), ("decrypt_data", ("encrypted_data",), 116, SRC),
    ("__reduce_cython__", (), 1, STR_SRC), ("__setstate_cython__", ("__pyx_state",), 16, STR_SRC),
]


def test_import_lifecycle(run_py, tmp_path):
    """A failed load leaves nothing behind; the retry loads once per process and interpreter."""
    pytest.importorskip("_testcapi")
    out = tmp_path / "err.txt"
    run_py(f"""
        import _testcapi, importlib, pickle, sys, traceback
        sys.modules["cryptography"] = None
        try:
            import kelvaro_duneth.kv_duneth
        except ImportError as e:
            entries = [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(e.__traceback__)]
        assert entries[-1] == ("init kelvaro_duneth.kv_duneth", "kelvaro_duneth/kv_duneth", 6), entries
        assert "kelvaro_duneth.kv_duneth" not in sys.modules
        del sys.modules["cryptography"]
        import kelvaro_duneth.kv_duneth as m
        K, enc = m.kv_duneth, vars(m.kv_duneth)["encrypt_string"]
        u = pickle.loads(pickle.dumps(K.__new__(K)))
        assert type(u) is K and u.__reduce__() == u.__reduce_cython__() and callable(m.Fernet)
        assert importlib.import_module("kelvaro_duneth.kv_duneth") is m
        m.base64, m.__test__ = 1, 2
        del sys.modules["kelvaro_duneth.kv_duneth"]
        assert importlib.import_module("kelvaro_duneth.kv_duneth") is m and importlib.reload(m) is m
        assert (m.base64, m.__test__, m.kv_duneth, vars(K)["encrypt_string"]) == (1, 2, K, enc)
        _testcapi.run_in_subinterp('''
        try:
            import kelvaro_duneth.kv_duneth
        except ImportError as e:
            open({str(out)!r}, "w").write(str(e))
        ''')
    """)
    assert out.read_text() == ("Interpreter change detected - this module can only be loaded "
                               "into one interpreter per process.")


@pytest.mark.parametrize("case", ["free", "taken", "failing"])
def test_import_under_other_name(run_py, case):
    """The entry made under the full name goes with a failed load (cryptography missing)."""
    run_py(f"""
        import importlib.util, sys
        path = importlib.util.find_spec("kelvaro_duneth.kv_duneth").origin
        case = {case!r}
        if case == "taken":
            sys.modules["kelvaro_duneth.kv_duneth"] = marker = object()
        if case == "failing":
            sys.modules["cryptography"] = None
        spec = importlib.util.spec_from_file_location("kv_duneth", path)
        m = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(m)
        except ImportError:
            assert case == "failing" and "kelvaro_duneth.kv_duneth" not in sys.modules
        else:
            assert case != "failing" and m.kv_duneth.__name__ == "kv_duneth" == m.__name__
            assert sys.modules["kelvaro_duneth.kv_duneth"] is (marker if case == "taken" else m)
    """)


def test_created_from_a_spec_without_optional_attributes(run_py):
    """A spec attribute that is absent is skipped; any other error in reading one propagates."""
    run_py("""
        import importlib.util, types
        spec = importlib.util.find_spec("kelvaro_duneth.kv_duneth")
        bare = types.SimpleNamespace(name=spec.name, loader=spec.loader, origin=spec.origin)
        m = spec.loader.create_module(bare)
        assert (m.__file__, hasattr(m, "__path__"), m.__package__) == (spec.origin, False, None)
        class Broken(types.SimpleNamespace):
            parent = property(lambda self: 1 / 0)
        try:
            spec.loader.create_module(Broken(**vars(bare)))
        except ZeroDivisionError:
            pass
        else:
            raise AssertionError("the error was lost")
    """)


def test_call_through_the_type_slot(cipher_class, obj):
    """type(f).__call__ reaches tp_call (the route 3.7 takes) with positions and keywords."""
    f = vars(cipher_class)["encrypt_string"]
    assert obj.decrypt_string(type(f).__call__(f, obj, input_string="slot")) == "slot"


def test_module_namespace(mod, cipher_class):
    import base64, builtins, datetime
    from cryptography.fernet import Fernet
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC
    ns, spec = vars(mod), mod.__spec__
    expected = dict(__builtins__=builtins, kv_duneth=cipher_class, base64=base64, datetime=datetime.datetime,
                    timedelta=datetime.timedelta, Fernet=Fernet, hashes=hashes, PBKDF2HMAC=PBKDF2HMAC,
                    __doc__=None, __package__="kelvaro_duneth", __file__=spec.origin, __loader__=spec.loader)
    assert {n: ns[n] for n in expected} == expected
    assert type(ns["__test__"]) is dict and ns["__test__"] == {}
    assert set(ns) == set(expected) | {"__pyx_unpickle_kv_duneth", "__test__", "__name__", "__spec__"}
    up = mod.__pyx_unpickle_kv_duneth
    assert (up.__name__, up.__qualname__, up.__module__, up.__doc__, up.__globals__ is ns) == (
        "__pyx_unpickle_kv_duneth", "__pyx_unpickle_kv_duneth", "kelvaro_duneth.kv_duneth", None, True)
    code = up.__code__
    assert (code.co_argcount, code.co_filename, code.co_firstlineno) == (3, STR_SRC, 1)
    assert code.co_varnames[:3] == ("__pyx_type", "__pyx_checksum", "__pyx_state")


def test_class_and_allocation(cipher_class):
    names = ("__name__", "__qualname__", "__module__", "__doc__", "__bases__")
    assert tuple(getattr(cipher_class, name) for name in names) == (
        "kv_duneth", "kv_duneth", "kelvaro_duneth.kv_duneth", None, (object,))
    ns = vars(cipher_class)
    assert type(ns["__pyx_vtable__"]).__name__ == "PyCapsule"
    kinds = {type(ns[name]) for name, *_ in METHODS}
    assert len(kinds) == 1 and kinds != {type(object.__reduce__)}  # function objects, not row descriptors
    a, token = cipher_class.__new__(cipher_class, "pw", 1, secret_key="x"), object()
    b = cipher_class.__new__(cipher_class)
    assert type(a) is cipher_class and a.__reduce__()[1][2] == (None, None)  # extras ignored, no __init__
    assert (a.decrypt_string("t"), a.decrypt_data(b"t")) == (None, None)
    with pytest.raises(AttributeError):
        a.encrypt_string("x")
    a.__setstate__((token, "pw"))
    b.__setstate_cython__((token, "pw"))
    assert a.__reduce__()[2] == b.__reduce_cython__()[2] == (token, "pw")


def test_attributes_hidden_weakref_refused_subclass_free(cipher_class, obj):
    for action in (lambda: obj.secret_key, lambda: obj.fernet, lambda: obj.__dict__,
                   lambda: setattr(obj, "secret_key", "x"), lambda: setattr(obj, "y", 1)):
        with pytest.raises(AttributeError):
            action()
    with pytest.raises(TypeError):
        weakref.ref(obj)
    s = type("Sub", (cipher_class,), {})(PASSPHRASE)
    s.extra = 1
    assert s.__dict__ == {"extra": 1} and weakref.ref(s)() is s
    assert cipher_class.decrypt_string(s, obj.encrypt_string("hi")) == "hi"


@pytest.mark.parametrize("name, params, line, path", METHODS)
def test_function_object(cipher_class, mod, unkeyed, name, params, line, path):
    f = vars(cipher_class)[name]
    assert (f.__name__, f.__qualname__, f.__module__, f.__doc__, f.__globals__ is vars(mod)) == (
        name, "kv_duneth." + name, "kelvaro_duneth.kv_duneth", None, True)
    assert f.__defaults__ == ((0, 0, 0) if name == "generate_end_date" else None)
    code = f.__code__
    assert (code.co_name, code.co_argcount, code.co_filename, code.co_firstlineno) == (
        name, 1 + len(params), path, line)
    assert code.co_varnames[:1 + len(params)] == ("self", *params)
    assert list(inspect.signature(f).parameters) == ["self", *params]
    f.note = params  # function attributes live in the function's own __dict__
    assert vars(f) == {"note": params}
    del f.note
    assert vars(f) == {}
    bound = getattr(unkeyed, name)
    assert inspect.ismethod(bound) and bound.__self__ is unkeyed and bound.__func__ is f
    with pytest.raises(TypeError) as info:
        f()
    assert str(info.value) == needs_argument(name)
    for intruder in (object(), "text", cipher_class, None):
        with pytest.raises(TypeError):
            f(intruder, *[None] * len(params))


def test_gc_referents_and_cycles(cipher_class, unkeyed, obj):
    from cryptography.fernet import Fernet
    assert gc.is_tracked(unkeyed) and gc.get_referents(unkeyed) == [None]
    refs = gc.get_referents(obj)
    assert len(refs) == 1 and type(refs[0]) is Fernet
    for cls in (cipher_class, type("Sub", (cipher_class,), {})):
        u = cls.__new__(cls)
        watch = weakref.ref(through_cipher(u))
        cycle, refs = u.__reduce__()[2][0], gc.get_referents(u)
        assert refs == [cycle] if cls is cipher_class else any(r is cycle for r in refs)
        del u, cycle, refs
        gc.collect()
        assert watch() is None, cls


kw = "".join  # keyword names built at run time are not the interned strings


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("encrypt_string", ("a", "b"), {}, takes("encrypt_string", 1, 2)),
    ("decrypt_string", (), {}, takes("decrypt_string", 1, 0)),
    ("generate_end_date", (1, 2, 3, 4), {}, takes("generate_end_date", 3, 4, at_most=True)),
    ("get_today_date", (1,), {}, takes("get_today_date", 0, 1)),
    ("__reduce_cython__", (1,), {}, takes("__reduce_cython__", 0, 1)),
    ("secret_key_to_string", ("k",), {}, takes("secret_key_to_string", 2, 1)),
    ("secret_key_to_string", (), {"encrypted_string": "x"}, takes("secret_key_to_string", 2, 0)),
    ("get_today_date", (), {"x": 1}, unexpected("get_today_date", "x")),
    ("string_to_secret_key", (), {"input_string": "a", "salt": 1},
     unexpected("string_to_secret_key", "salt")),
    ("generate_end_date", (), {"weeks": 1}, unexpected("generate_end_date", "weeks")),
    ("encrypt_data", (b"x",), {"data": b"y"}, multiple("encrypt_data", "data")),
    ("generate_end_date", (1,), {kw(["yea", "rs"]): 2}, multiple("generate_end_date", "years")),
    ("encrypt_data", (), {kw(["da", "ta"]): b"", kw(["ex", "tra"]): 1},
     unexpected("encrypt_data", "extra")),
])
def test_binding_errors(cipher_class, unkeyed, name, args, kwargs, message):
    for call in (getattr(unkeyed, name), vars(cipher_class)[name].__get__(unkeyed)):
        with pytest.raises(TypeError) as info:
            call(*args, **kwargs)
        assert str(info.value) == message


def test_runtime_built_keywords_bind(obj):
    name = kw(["input_", "string"])
    assert sys.intern(name) is not name
    token = obj.encrypt_string(**{name: "hi"})
    assert obj.decrypt_string(**{kw(["encrypted_", "string"]): token}) == "hi"


@pytest.mark.parametrize("call, line", [
    (lambda o: o.encrypt_string(), 102), (lambda o: o.generate_end_date(weeks=1), 63),
    (lambda o: o.secret_key_to_string("k"), 94), (lambda o: o.decrypt_data(b"", b""), 116),
    (lambda o: o.encrypt_string(b"x"), None), (lambda o: o.decrypt_string(1), None),  # type tests
    (lambda o: o.get_today_date(1), None), (lambda o: o.__reduce_cython__(x=1), None),  # no parameters
])
def test_binding_traceback_entries(unkeyed, call, line):
    with pytest.raises(TypeError) as info:
        call(unkeyed)
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    if line is None:
        assert (last.name, last.filename) == ("<lambda>", __file__)
    else:
        qualname = "kelvaro_duneth.kv_duneth.kv_duneth." + call.__code__.co_names[0]
        assert (last.name, last.filename, last.lineno) == (qualname, SRC, line)
