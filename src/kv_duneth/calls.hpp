// Calling into Python: module globals, imports, calls without argument tuples, text and bytes.
#pragma once

#include "names.hpp"

namespace kvd {

// The named global: module namespace first, then builtins, else NameError.
Ref global(PyObject* name) noexcept;
// The named builtin, else NameError.
Ref builtin(PyObject* name) noexcept;

// Call helpers over vectorcall, so that no argument tuple is built. The callable and the
// arguments must be owned by the caller for the whole call.
// Inline: they are on every method's path, and each is one CPython call.
inline Ref call0(PyObject* callable) noexcept {
    return Ref::steal(compat::vectorcall(callable, nullptr, 0, nullptr));
}

inline Ref call1(PyObject* callable, PyObject* arg) noexcept {
    PyObject* stack[2] = {nullptr, arg};
    return Ref::steal(
        compat::vectorcall(callable, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref call_kw(PyObject* callable, PyObject* const* values, PyObject* kwnames) noexcept {
    return Ref::steal(compat::vectorcall(callable, values, 0, kwnames));
}

inline Ref call_method0(PyObject* obj, PyObject* name) noexcept {
    PyObject* stack[1] = {obj};
    return Ref::steal(compat::vectorcall_method(name, stack, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET));
}

inline Ref call_method1(PyObject* obj, PyObject* name, PyObject* arg) noexcept {
    PyObject* stack[2] = {obj, arg};
    return Ref::steal(compat::vectorcall_method(name, stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET));
}

inline Ref getattr(PyObject* obj, PyObject* name) noexcept {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// An absolute import with the module namespace as globals and a fresh dict as locals.
Ref import_module(PyObject* name, PyObject* fromlist) noexcept;
// A from-list name: the attribute, else the submodule in sys.modules, else
// ImportError "cannot import name %S".
Ref import_from(PyObject* module, PyObject* name) noexcept;
// raise obj: an exception instance is raised as itself.
void raise_object(PyObject* obj) noexcept;

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
