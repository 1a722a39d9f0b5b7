// The function-object type that the module binds in the class namespace and in the module.
#pragma once

#include "binding.hpp"

namespace kvd {

using FastEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// A row of a METH_FASTCALL | METH_KEYWORDS method table, with the cast CPython wants.
inline PyMethodDef method_row(const char* name, FastEntry entry) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
            METH_FASTCALL | METH_KEYWORDS, nullptr};
}

// A body counts as a Python-level call: recursion that comes back into the module without a
// Python frame in between (a cipher whose encrypt is this very method) meets the recursion
// limit as a Python function does, with RecursionError, instead of the end of the C stack.
// Like a Python frame that could not start, a refused call adds no traceback entry. Each
// successful enter_call() is paired with Py_LeaveRecursiveCall().
inline bool enter_call() noexcept {
    return Py_EnterRecursiveCall(" while calling a Python object") == 0;
}

// Entry point of one callable: binding and type tests, then the body with the bound values.
template <const Signature& Sig, PyObject* (*Body)(PyObject*, const Bound&)>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    Bound bound;
    if (!bind_fast<Sig>(args, nargs, kwnames, bound) || !enter_call()) return nullptr;
    PyObject* result = Body(self, bound);
    Py_LeaveRecursiveCall();
    return result;
}

// The code object of a callable: `self` for a method, then its parameters and locals as variable
// names; its file and first line.
Ref make_code(const Signature& sig, const char* qualname) noexcept;

// A function object calling `row`. A method one takes its object as first argument and refuses
// anything that is not an instance of `owner`.
Ref make_function(PyMethodDef* row, PyTypeObject* owner, PyObject* qualname, PyObject* code,
                  PyObject* defaults) noexcept;

// PyType_Ready for a static type, retried safely after a failed attempt: `declare` fills in the
// type's own slots before each attempt.
bool ready_static_type(PyTypeObject& type, void (*declare)(PyTypeObject&)) noexcept;

bool function_type_ready() noexcept;

}  // namespace kvd
