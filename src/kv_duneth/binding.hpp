// Argument binding, type tests and integer conversion, with all their error texts.
#pragma once

#include "signature.hpp"

namespace kvd {

struct Bound {
    PyObject* arg[max_params] = {};  // borrowed from the caller's arguments
    long long num[max_params] = {};  // converted integer parameters
};

// A tuple-and-dict call's arguments: values found in the keyword dictionary are owned here,
// since Python code (a key's __eq__, a collection) may change the dictionary.
struct HeldBound : Bound {
    Ref keep[max_params];
};

// Bind a vectorcall-style call (positional array, keyword values after them, names in kwnames).
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Bound& out) noexcept;
// Bind a tuple-and-dict call (tp_init).
bool bind(const Signature& sig, PyObject* args, PyObject* kwds, HeldBound& out) noexcept;

// Pieces of the fast path below, out of line because they only run on their own rows or on failure.
bool convert_integers(const Signature& sig, Bound& out) noexcept;
bool raise_param_type(const Signature& sig, Py_ssize_t index, PyObject* value) noexcept;
void add_binding_traceback(const Signature& sig) noexcept;

// Exact str or bytes (or None) for the typed parameters, tested in parameter order.
inline bool check_types(const Signature& sig, const Bound& out) noexcept {
    for (Py_ssize_t i = 0; i < sig.count(); ++i) {
        PyObject* value = out.arg[i];
        const Kind kind = sig.params[i].kind;
        const bool wrong = (kind == Kind::text && Py_TYPE(value) != &PyUnicode_Type) ||
                           (kind == Kind::bytes && Py_TYPE(value) != &PyBytes_Type);
        if (wrong && value != Py_None) return raise_param_type(sig, i, value);
    }
    return true;
}

constexpr bool has_integers(const Signature& sig) {
    for (Py_ssize_t i = 0; i < sig.count(); ++i)
        if (sig.params[i].kind == Kind::int32 || sig.params[i].kind == Kind::int64) return true;
    return false;
}

// The everyday calls, specialised per signature: every argument by position, or the trailing
// ones by keyword in parameter order with the interned names CPython passes. Anything else takes
// the general path above.
template <const Signature& Sig>
inline bool bind_fast(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      Bound& out) noexcept {
    constexpr Py_ssize_t count = Sig.count();
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + nkw != count) return bind(Sig, args, nargs, kwnames, out);
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (PyTuple_GET_ITEM(kwnames, i) != names.*Sig.params[nargs + i].name)
            return bind(Sig, args, nargs, kwnames, out);
    for (Py_ssize_t i = 0; i < count; ++i) out.arg[i] = args[i];  // keyword values follow
    if constexpr (has_integers(Sig)) {
        if (!convert_integers(Sig, out)) {
            add_binding_traceback(Sig);
            return false;
        }
    }
    return check_types(Sig, out);
}

// "Expected %s, got %.200s"
void raise_unexpected_type(const char* expected, PyObject* value) noexcept;
// AttributeError "'NoneType' object has no attribute '...'" as raised for a None receiver.
void raise_none_attribute(const char* attr) noexcept;

}  // namespace kvd
