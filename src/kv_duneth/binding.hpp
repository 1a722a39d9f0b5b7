// Argument binding, type tests, integer conversion and module-global look-up, with all their texts.
#pragma once

#include "names.hpp"

namespace kvd {

enum class Kind : unsigned char {
    any,    // any object, untested
    text,   // exactly str, or None
    bytes,  // exactly bytes, or None
    int32,  // converted to a signed 32-bit integer during binding
    int64,  // converted to a signed 64-bit integer during binding
};

struct Param {
    PyObject* const* name;  // points at the interned name in N
    Kind kind;
};

constexpr int max_params = 3;

// Everything the module knows about one callable: its binding, its code object, its tracebacks.
struct Signature {
    const char* name;            // bare name, used by every binding error text
    const char* traceback_name;  // dotted name of its traceback entries
    const char* file;            // source path of its code object and traceback entries
    int first_line;
    bool all_default_zero;       // every parameter defaults to 0 (generate_end_date)
    Py_ssize_t count;
    Param params[max_params];
    const char* locals[6];       // local names after the parameters, for __code__
};

struct Bound {
    PyObject* arg[max_params] = {};  // borrowed from the caller's arguments, or owned by keep
    long long num[max_params] = {};  // converted integer parameters
    Ref keep[max_params];            // values taken from a keyword dictionary
};

// Bind a vectorcall-style call (positional array, keyword values after them, names in kwnames).
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Bound& out) noexcept;

// Pieces of the fast path below, out of line because they only run on their own rows or on failure.
bool convert_integers(const Signature& sig, Bound& out) noexcept;
bool raise_param_type(const Signature& sig, Py_ssize_t index, PyObject* value) noexcept;
void add_binding_traceback(const Signature& sig) noexcept;

// Exact str or bytes (or None) for the typed parameters, tested in parameter order.
inline bool check_types(const Signature& sig, const Bound& out) noexcept {
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        PyObject* value = out.arg[i];
        const Kind kind = sig.params[i].kind;
        const bool wrong = (kind == Kind::text && Py_TYPE(value) != &PyUnicode_Type) ||
                           (kind == Kind::bytes && Py_TYPE(value) != &PyBytes_Type);
        if (wrong && value != Py_None) return raise_param_type(sig, i, value);
    }
    return true;
}

constexpr bool has_integers(const Signature& sig) {
    for (Py_ssize_t i = 0; i < sig.count; ++i)
        if (sig.params[i].kind == Kind::int32 || sig.params[i].kind == Kind::int64) return true;
    return false;
}

// The everyday calls, specialised per signature: every argument by position, or the trailing
// ones by keyword in parameter order with the interned names CPython passes. Anything else takes
// the general path above.
template <const Signature& Sig>
inline bool bind_fast(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      Bound& out) noexcept {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + nkw != Sig.count) return bind(Sig, args, nargs, kwnames, out);
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (PyTuple_GET_ITEM(kwnames, i) != *Sig.params[nargs + i].name)
            return bind(Sig, args, nargs, kwnames, out);
    for (Py_ssize_t i = 0; i < Sig.count; ++i) out.arg[i] = args[i];  // keyword values follow
    if constexpr (has_integers(Sig)) {
        if (!convert_integers(Sig, out)) {
            add_binding_traceback(Sig);
            return false;
        }
    }
    return check_types(Sig, out);
}
// Bind a tuple-and-dict call (tp_init).
bool bind(const Signature& sig, PyObject* args, PyObject* kwds, Bound& out) noexcept;

// "Argument '%.200s' has incorrect type ..." for a value that is neither the exact type nor None.
bool check_exact_or_none(PyObject* value, PyTypeObject* type, const char* param) noexcept;

// Conversions shared with the integer parameters of the methods.
bool to_int32(PyObject* value, long long& out) noexcept;
bool to_int64(PyObject* value, long long& out) noexcept;

// The named global: module namespace first, then builtins, else NameError.
Ref global(PyObject* name) noexcept;
// The named builtin, else NameError.
Ref builtin(PyObject* name) noexcept;

// The catch-all of the decrypting methods: a failure of any class, KeyboardInterrupt included,
// becomes None. The exception being handled (sys.exc_info) is never touched, so the caller's
// stays as it was.
inline PyObject* none_on_failure(Ref result) noexcept {
    if (result) return result.release();
    PyErr_Clear();
    Py_RETURN_NONE;
}

// AttributeError "'NoneType' object has no attribute '...'" as raised for a None receiver.
void raise_none_attribute(const char* attr) noexcept;
// The strict UTF-8 bytes of a str, or AttributeError for None ("encode").
Ref encode_text(PyObject* text) noexcept;
// value.decode() with no arguments; exact bytes go straight to the UTF-8 decoder.
Ref decode_bytes(PyObject* value) noexcept;
// "Expected %s, got %.200s"
void raise_unexpected_type(const char* expected, PyObject* value) noexcept;

// Call helpers over vectorcall, so that no argument tuple is built.
Ref call0(PyObject* callable) noexcept;
Ref call1(PyObject* callable, PyObject* arg) noexcept;
Ref call_kw(PyObject* callable, PyObject* const* values, PyObject* kwnames) noexcept;
Ref call_method0(PyObject* obj, PyObject* name) noexcept;
Ref call_method1(PyObject* obj, PyObject* name, PyObject* arg) noexcept;
inline Ref getattr(PyObject* obj, PyObject* name) noexcept {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

}  // namespace kvd
