"""Hypothesis fuzzing of every callable: argument shapes, call routes, odd objects, states.

Each example calls one method through one route (bound method, the class attribute, a partial,
the type's __call__, a vars()-built keyword dict, or a native vectorcall whose keyword names
need not be str) and compares the outcome with a model of the module's binding, type tests,
integer conversion and state loading: the same exception class, the exact text for every
binding and type error, the right result type otherwise. Ciphers and key derivation are cheap
stand-ins. KV_FUZZ_PROFILE=long runs many more, random examples (`make fuzz`).
"""
import datetime
import decimal
import fractions
import functools
import os
import pickle
import types
import warnings

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import kelvaro_duneth.kv_duneth as kvm
from model import end_date, multiple, not_strings, takes, unexpected, wrong_type
from fakes import VECTORCALL, IntReturns, QuickCipher, QuickKDF, call_with_dict, native

K = kvm.kv_duneth
U = kvm.__pyx_unpickle_kv_duneth
CHECKSUMS = (0x2284821, 0xBC0AC1D, 0x11B7A02)
LONG = os.environ.get("KV_FUZZ_PROFILE") == "long"
FUZZ = settings(max_examples=3000 if LONG else 60, derandomize=not LONG, deadline=None,
                database=None, suppress_health_check=[HealthCheck.too_slow,
                                                      HealthCheck.data_too_large,
                                                      HealthCheck.filter_too_much])


# ---- stand-ins and odd objects ---------------------------------------------------------------

class FuzzError(Exception):
    """Raised by the fuzz objects themselves: it must come through unchanged."""


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class IntSub(int):
    pass


class TupleSub(tuple):
    pass


class Sub(K):
    pass


class SlotSub(K):
    __slots__ = ()


class IndexOnly:
    def __index__(self):
        return 1


class BadMapping:
    def keys(self):
        raise FuzzError("keys")


HEAPTYPE = 1 << 9


def tp_name(value):
    t = type(value)
    if t.__flags__ & HEAPTYPE or t.__module__ == "builtins":
        return t.__name__
    return f"{t.__module__}.{t.__name__}"


# ---- strategies ------------------------------------------------------------------------------

BOUNDARY = [0, -1, 2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**63 - 1, 2**63, -2**63 - 1, 2**64,
            10**30, *CHECKSUMS]
text = st.text(st.characters(blacklist_categories=()), max_size=8)  # lone surrogates included
ints = st.one_of(st.integers(), st.sampled_from(BOUNDARY), st.builds(IntSub, st.integers()))
scalars = st.one_of(
    st.none(), st.booleans(), ints, st.floats(), st.complex_numbers(), text, st.binary(max_size=8),
    st.builds(bytearray, st.binary(max_size=4)), st.builds(StrSub, text),
    st.builds(BytesSub, st.binary(max_size=4)), st.builds(IntReturns, st.one_of(
        ints, st.sampled_from([FuzzError, "1", 1.5, None, True, IntSub(7), 2**70]))),
    st.sampled_from([Ellipsis, NotImplemented, object(), int, str, K, Sub, len, range(3),
                     slice(2), decimal.Decimal("1.5"), decimal.Decimal("NaN"),
                     fractions.Fraction(7, 2), IndexOnly(), BadMapping(), QuickCipher(),
                     frozenset({1}), float("inf"), float("nan"), 36194337.0]))
values = st.recursive(scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.lists(inner, max_size=3).map(tuple),
    st.lists(inner, max_size=3).map(TupleSub),
    st.dictionaries(st.one_of(text, ints), inner, max_size=3)), max_leaves=6)
# A state is most often a tuple of the right shape, so that loading goes deep.
states = st.one_of(values, st.tuples(values, st.one_of(st.none(), text, values)),
                   st.tuples(values, st.one_of(st.none(), text),
                             st.one_of(st.dictionaries(text, values, max_size=2), values)),
                   st.lists(values, min_size=3, max_size=5).map(tuple))
TOKEN = QuickCipher().encrypt(b"plain").decode()  # decrypts under make_target's cipher
BY_KIND = {
    "text": st.one_of(text, st.none(), st.just(TOKEN), values),
    "bytes": st.one_of(st.binary(max_size=8), st.none(), st.just(TOKEN.encode()), values),
    "int32": st.one_of(st.integers(-3000, 3000), ints, values),
    "int64": st.one_of(st.sampled_from(CHECKSUMS), st.sampled_from([36194337.0, 1, 2**64]),
                       st.sampled_from(CHECKSUMS).map(IntReturns), values),
    "state": states,
    "type": st.one_of(st.sampled_from([K, Sub, SlotSub, int, object, type]), values),
}

# name: (parameters with their kinds, whether all default to 0)
SIGNATURES = {
    "generate_end_date": ((("years", "int32"), ("months", "int32"), ("days", "int32")), True),
    "get_today_date": ((), False),
    "string_to_secret_key": ((("input_string", "text"),), False),
    "secret_key_to_string": ((("secret_key", "text"), ("encrypted_string", "text")), False),
    "encrypt_string": ((("input_string", "text"),), False),
    "decrypt_string": ((("encrypted_string", "text"),), False),
    "encrypt_data": ((("data", "bytes"),), False),
    "decrypt_data": ((("encrypted_data", "bytes"),), False),
    "__reduce_cython__": ((), False),
    "__setstate_cython__": ((("__pyx_state", "state"),), False),
    "__init__": ((("secret_key", "text"),), False),
    "__pyx_unpickle_kv_duneth": ((("__pyx_type", "type"), ("__pyx_checksum", "int64"),
                                  ("__pyx_state", "state")), False),
}
PARAM_NAMES = sorted({p for params, _ in SIGNATURES.values() for p, _ in params})
str_names = st.one_of(st.sampled_from(PARAM_NAMES + ["self", "bogus", "", "years "]),
                      st.sampled_from(PARAM_NAMES).map(lambda n: "".join(list(n))),  # not interned
                      st.sampled_from(PARAM_NAMES).map(StrSub))
odd_names = st.sampled_from([1, b"data", None, 2.5, ("years",)])


# ---- the model -------------------------------------------------------------------------------

class Expected(Exception):
    def __init__(self, cls, text=None):
        self.cls, self.text = cls, text


DEFAULT = object()  # a parameter left to its default


def bind(name, args, pairs):
    """The bound values, in parameter order (DEFAULT for a default); raises Expected."""
    params, defaults = SIGNATURES[name]
    names, n = [p for p, _ in params], len(params)
    if len(args) > n:
        raise Expected(TypeError, takes(name, n, len(args), defaults))
    bound = list(args) + [DEFAULT] * (n - len(args))
    for i in range(len(args), n):
        match = [v for k, v in pairs if isinstance(k, str) and str.__eq__(k, names[i])]
        if match:
            bound[i] = match[0]
        elif not defaults:
            raise Expected(TypeError, takes(name, n, i, defaults))
    for key, _ in pairs:
        if not isinstance(key, str):
            raise Expected(TypeError, not_strings(name))
        if key in names[len(args):]:
            continue
        if key in names[: len(args)]:
            raise Expected(TypeError, multiple(name, str(key)))
        raise Expected(TypeError, unexpected(name, str(key)))
    for (param, kind), value in zip(params, bound):
        if kind in ("int32", "int64") and value is not DEFAULT:
            convert(value, kind)
    for (param, kind), value in zip(params, bound):
        expected_type = {"text": str, "bytes": bytes}.get(kind)
        if expected_type and value is not None and type(value) is not expected_type:
            raise Expected(TypeError, wrong_type(param, expected_type.__name__, tp_name(value)))
    return bound


def convert(value, kind):
    if not isinstance(value, int):
        if not hasattr(type(value), "__int__"):
            raise Expected(TypeError, "an integer is required")
        try:
            result = type(value).__int__(value)
        except Exception as exc:
            raise Expected(type(exc))
        if not isinstance(result, int):
            raise Expected(TypeError, f"__int__ returned non-int (type {tp_name(result)})")
        if type(result) is not int and warnings.filters[0][0] == "error":
            raise Expected(DeprecationWarning)
        value = result
    if not -2**63 <= value < 2**63:
        raise Expected(OverflowError)
    if kind == "int32" and not -2**31 <= value < 2**31:
        raise Expected(OverflowError, "value too large to convert to int")
    return value


def encodable(s):
    try:
        s.encode()
    except UnicodeEncodeError:
        return False
    return True


def load(obj, state):
    """Loading a state into obj, as the module does it; returns the fernet and secret_key."""
    if state is None:
        raise Expected(TypeError, "'NoneType' object is not subscriptable")
    if len(state) < 2:
        raise Expected(IndexError)
    if state[1] is not None and type(state[1]) is not str:
        raise Expected(TypeError, f"Expected unicode, got {tp_name(state[1])}")
    if len(state) > 2 and hasattr(obj, "__dict__"):
        try:
            {}.update(state[2])
        except Exception as exc:
            raise Expected(type(exc))
    return state[:2]


def state_of(obj):
    reduced = obj.__reduce__()
    return reduced[2] if len(reduced) == 3 else reduced[1][2]


def outcome(name, target, bound):
    """What the body gives: the type(s) of its result, or raises Expected."""
    keyed = target is not None and state_of(target)[0] is not None
    arg = bound[0] if bound else None
    if name in ("encrypt_string", "string_to_secret_key", "__init__"):
        if name == "encrypt_string" and not keyed:
            raise Expected(AttributeError)
        if arg is None:
            raise Expected(AttributeError, "'NoneType' object has no attribute 'encode'")
        if not encodable(arg):
            raise Expected(UnicodeEncodeError)
        return {"encrypt_string": str, "string_to_secret_key": str}.get(name, type(None))
    if name == "encrypt_data":
        if not keyed:
            raise Expected(AttributeError)
        if arg is None:
            raise Expected(TypeError, "data must be bytes")
        return bytes
    if name in ("decrypt_string", "secret_key_to_string"):
        return (str, type(None))
    if name == "decrypt_data":
        return (bytes, type(None))
    if name == "generate_end_date":
        return (str, ValueError, OverflowError)
    if name == "get_today_date":
        return str
    if name == "__reduce_cython__":
        return tuple
    if name == "__setstate_cython__":
        if arg is not None and type(arg) is not tuple:
            raise Expected(TypeError, f"Expected tuple, got {tp_name(arg)}")
        load(target, arg)
        return type(None)
    cls, checksum, state = bound  # the unpickling function
    if convert(checksum, "int64") not in CHECKSUMS:
        raise Expected(pickle.PickleError, "Incompatible checksums (0x%x vs (0x2284821, "
                       "0xbc0ac1d, 0x11b7a02) = (fernet, secret_key))" % convert(checksum, "int64"))
    if not (isinstance(cls, type) and issubclass(cls, K)):
        raise Expected(TypeError)
    if state is not None:
        if type(state) is not tuple:
            raise Expected(TypeError, f"Expected tuple, got {tp_name(state)}")
        load(cls.__new__(cls), state)
    return K


# ---- routes ----------------------------------------------------------------------------------

def call(name, route, target, args, pairs):
    """Calls `name` on target (or the module-level function) by one of the routes."""
    kwargs = dict(pairs)
    if name == "__pyx_unpickle_kv_duneth":
        func, lead, bound = U, (), lambda: U
    else:
        func, lead, bound = getattr(K, name), (target,), lambda: getattr(target, name)
    if name == "__init__" and route == "construct":
        return K(*args, **kwargs)
    if name == "__init__" and route == "native":  # keywords reach __init__ as a dict
        return call_with_dict(bound(), args, kwargs)
    if route == "bound":
        return bound()(*args, **kwargs)
    if route == "class":
        return func(*lead, *args, **kwargs)
    if route == "foreign":  # the class attribute with something else in the object's place
        return func(target, *args, **kwargs)
    if route == "partial":
        half = len(args) // 2
        return functools.partial(func, *lead, *args[:half])(*args[half:], **kwargs)
    if route == "call_slot":
        return type(func).__call__(func, *lead, *args, **kwargs)
    if route == "vars":
        return func(*lead, *args, **vars(types.SimpleNamespace(**kwargs)))
    return native(func, (*lead, *args), pairs)


ROUTES = ["bound", "class", "partial", "call_slot", "vars"] + ["native"] * bool(VECTORCALL)
ROUTES.append("foreign")


@pytest.fixture(scope="module")
def quick_globals():
    saved = dict(vars(kvm))
    vars(kvm).update(Fernet=QuickCipher, PBKDF2HMAC=QuickKDF)
    yield
    vars(kvm).clear()
    vars(kvm).update(saved)


def make_target(draw):
    cls = draw(st.sampled_from([K, K, Sub, SlotSub]))
    obj = cls.__new__(cls)
    if draw(st.booleans()) or cls is not K:
        obj.__setstate__((QuickCipher(), "passphrase"))
    return obj


@pytest.mark.parametrize("name", list(SIGNATURES))
@FUZZ
@given(data=st.data())
def test_every_callable(quick_globals, name, data):
    draw = data.draw
    params, _ = SIGNATURES[name]
    module_level = name == "__pyx_unpickle_kv_duneth"
    routes = ROUTES[:-1] if module_level else ROUTES + (["construct"] * (name == "__init__"))
    route = draw(st.sampled_from(routes), label="route")
    target = None if module_level else make_target(draw)
    if route == "foreign":
        target = draw(values, label="in the object's place")
    n, defaults = len(params), SIGNATURES[name][1]
    shape = draw(st.sampled_from(["positional", "keywords", "mixed", "any"]), label="shape")
    nargs = {"positional": n, "keywords": 0}.get(shape, draw(st.integers(0, n)))
    args = [draw(BY_KIND[kind]) for _, kind in params[:nargs]]
    if shape == "any":  # anything goes: extra, missing, repeated, unknown or non-str names
        args += draw(st.lists(values, max_size=1 if nargs == n else 0))
        odd = route == "native" or (name == "__init__" and route == "construct")
        names = draw(st.lists(st.one_of(str_names, odd_names) if odd else str_names,
                              max_size=3, unique_by=lambda k: (not isinstance(k, str), str(k))))
    else:  # the rest by keyword, in any order and spelling (defaults may stay out)
        names = draw(st.permutations([p for p, _ in params[nargs:]]))
        names = [draw(st.sampled_from([p, "".join(list(p)), StrSub(p)])) for p in names]
        names = names[: draw(st.integers(0, len(names)))] if defaults else names
    kinds = dict(params)
    pairs = [(k, draw(BY_KIND.get(kinds.get(str(k)), values))) for k in names]
    action = draw(st.sampled_from(["ignore", "error"]), label="warnings")
    with warnings.catch_warnings():
        warnings.simplefilter(action)
        try:
            if route == "foreign":
                raise Expected(TypeError)
            bound = bind(name, args, pairs)
            expected = outcome(name, target, bound)
        except Expected as exc:
            expected = exc
        try:
            result = call(name, route, target, args, pairs)
        except Exception as exc:  # the comparison below decides
            got = exc
        else:
            got = None
    if isinstance(expected, Expected):
        assert isinstance(got, expected.cls), (route, args, pairs, got, expected.text)
        if expected.text is not None:
            assert str(got) == expected.text, (route, args, pairs)
        return
    if got is not None and isinstance(expected, tuple) and isinstance(got, expected):
        return
    assert got is None, (route, args, pairs, got)
    if name == "__init__" and route == "construct":
        assert type(result) is K
    elif name != "__init__":
        assert isinstance(result, expected), (route, args, pairs, result)
    if name == "__setstate_cython__":
        assert all(a is b for a, b in zip(state_of(target), bound[0][:2]))


@FUZZ
@given(route=st.sampled_from(["bound", "class", "descriptor"]), state=states,
       cls=st.sampled_from([K, Sub, SlotSub]))
def test_setstate_keeps_what_it_loaded(route, state, cls):
    """__setstate__ (the method descriptor) and __setstate_cython__ load alike, and a failed
    load leaves exactly the members stored before the failing step."""
    obj = cls.__new__(cls)
    before = (QuickCipher(), "before")
    obj.__setstate__(before)
    loader = {"bound": obj.__setstate__, "class": lambda s: K.__setstate_cython__(obj, s),
              "descriptor": lambda s: K.__dict__["__setstate__"](obj, s)}[route]
    try:
        loader(state)
    except (TypeError, IndexError, ValueError, AttributeError, FuzzError):
        pass
    fernet, secret_key = state_of(obj)[:2]
    tupled = type(state) is tuple and len(state) >= 1
    assert fernet is (state[0] if tupled else before[0])
    stored = tupled and len(state) >= 2 and (state[1] is None or type(state[1]) is str)
    assert secret_key is (state[1] if stored else before[1])


@FUZZ
@given(value=values, warn=st.sampled_from(["ignore", "error"]))
def test_end_date_offsets_convert_like_the_model(value, warn):
    """Any object as an offset: converted as the model says, then a date or the date library's
    own refusal of a date beyond its range."""
    obj = K.__new__(K)
    with warnings.catch_warnings():
        warnings.simplefilter(warn)
        try:
            days = convert(value, "int32")
        except Expected as exc:
            with pytest.raises(exc.cls) as info:
                obj.generate_end_date(days=value)
            assert exc.text is None or str(info.value) == exc.text
            return
        try:
            end_date(datetime.datetime.now(), 0, 0, days)
        except OverflowError:
            with pytest.raises(OverflowError):
                obj.generate_end_date(0, 0, value)
        else:
            assert len(obj.generate_end_date(0, 0, value)) == 10
