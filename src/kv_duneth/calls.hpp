// Calling into Python: module globals, calls without argument tuples, text and bytes.
#pragma once

#include "names.hpp"

namespace kvd {

// The named global: module namespace first, then builtins, else NameError.
Ref global(PyObject* name) noexcept;
// The named builtin, else NameError.
Ref builtin(PyObject* name) noexcept;

// Call helpers over vectorcall, so that no argument tuple is built. The callable and the
// arguments must be owned by the caller for the whole call.
Ref call0(PyObject* callable) noexcept;
Ref call1(PyObject* callable, PyObject* arg) noexcept;
Ref call_kw(PyObject* callable, PyObject* const* values, PyObject* kwnames) noexcept;
Ref call_method0(PyObject* obj, PyObject* name) noexcept;
Ref call_method1(PyObject* obj, PyObject* name, PyObject* arg) noexcept;
inline Ref getattr(PyObject* obj, PyObject* name) noexcept {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// The strict UTF-8 bytes of a str, or AttributeError for None ("encode").
Ref encode_text(PyObject* text) noexcept;
// value.decode() with no arguments; exact bytes go straight to the UTF-8 decoder.
Ref decode_bytes(PyObject* value) noexcept;

// The catch-all of the decrypting methods: a failure of any class, KeyboardInterrupt included,
// becomes None. The exception being handled (sys.exc_info) is never touched, so the caller's
// stays as it was.
inline PyObject* none_on_failure(Ref result) noexcept {
    if (result) return result.release();
    PyErr_Clear();
    Py_RETURN_NONE;
}

}  // namespace kvd
