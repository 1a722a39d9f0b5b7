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

// Entry point of one callable: binding and type tests, then the body with the bound values.
template <const Signature& Sig, PyObject* (*Body)(PyObject*, const Bound&)>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    Bound bound;
    if (!bind_fast<Sig>(args, nargs, kwnames, bound)) return nullptr;
    return Body(self, bound);
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
