// Function objects: vectorcall into a method row, bind like Python functions, carry __code__.
#include "function.hpp"

#include <cstddef>

namespace kvd {
namespace {

using VectorcallFn = PyObject* (*)(PyObject*, PyObject* const*, size_t, PyObject*);

struct FunctionObject {
    PyObject_HEAD
    VectorcallFn vectorcall;
    PyMethodDef* row;
    PyTypeObject* owner;  // the class whose instances it takes, or null for a plain function
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* code;
    PyObject* defaults;   // tuple or None
    PyObject* annotations;
    PyObject* dict;
};

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

FastEntry entry_of(const FunctionObject* f) {
    return reinterpret_cast<FastEntry>(reinterpret_cast<void (*)()>(f->row->ml_meth));
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    FunctionObject* f = as_function(callable);
    Py_ssize_t nargs = compat::nargs_of(nargsf);
    if (!f->owner) return entry_of(f)(nullptr, args, nargs, kwnames);  // plain: no object
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() needs an argument", f->row->ml_name);
        return nullptr;
    }
    PyObject* self = args[0];
    // The entry points read the object record unchecked: nothing else may get that far.
    if (!PyObject_TypeCheck(self, f->owner)) {
        PyErr_Format(PyExc_TypeError,
                     "descriptor '%.200s' for '%.100s' objects doesn't apply to a '%.100s' object",
                     f->row->ml_name, f->owner->tp_name, TypeOf(self).name());
        return nullptr;
    }
    return entry_of(f)(self, args + 1, nargs - 1, kwnames);
}

// 3.7 calls through tp_call with a tuple and a dict: flatten them into the vectorcall layout.
PyObject* function_call(PyObject* callable, PyObject* args, PyObject* kwargs) noexcept {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) return function_vectorcall(callable, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
    Ref stack = Ref::steal(PyTuple_New(nargs + nkw));
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    if (!stack || !kwnames) return nullptr;
    // 3.7 hands a caller's own dictionary through f(**d), and the allocations above may have
    // run Python code that changed it.
    if (PyDict_GET_SIZE(kwargs) != nkw) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(stack.get(), i, new_ref(PyTuple_GET_ITEM(args, i)));
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), i, new_ref(key));
        PyTuple_SET_ITEM(stack.get(), nargs + i, new_ref(value));
        ++i;
    }
    return function_vectorcall(callable, &PyTuple_GET_ITEM(stack.get(), 0), nargs, kwnames.get());
}

// Like a Python function, a method one or a plain one: through an instance it becomes a bound
// method, through the class it stays itself. The method-descriptor flag makes obj.f(...) skip
// the bound method and pass obj first, which is the same call.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (!obj || obj == Py_None) return new_ref(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    FunctionObject* f = as_function(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject* or_none(PyObject* value) { return new_ref(value ? value : Py_None); }

PyObject* get_name(PyObject* self, void*) noexcept { return or_none(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) noexcept {
    return or_none(as_function(self)->qualname);
}
PyObject* get_module(PyObject* self, void*) noexcept { return or_none(as_function(self)->module); }
PyObject* get_doc(PyObject*, void*) noexcept { Py_RETURN_NONE; }
PyObject* get_defaults(PyObject* self, void*) noexcept {
    return or_none(as_function(self)->defaults);
}
PyObject* get_kwdefaults(PyObject*, void*) noexcept { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) noexcept { return or_none(as_function(self)->code); }
// The module namespace as the module state holds it, not a reference of the function's own: a
// function bound by a load that failed later must not keep that load's namespace alive.
PyObject* get_globals(PyObject*, void*) noexcept { return or_none(module_namespace().get()); }
// inspect.signature() on 3.7 to 3.9 wants a dict here before it treats us as a function.
PyObject* get_annotations(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    Ref annotations, made;
    for (;;) {
        KVD_BEGIN_CRITICAL_SECTION(self);
        if (!f->annotations && made) f->annotations = made.release();
        annotations = Ref::borrow(f->annotations);
        KVD_END_CRITICAL_SECTION();
        if (annotations) return annotations.release();
        // Made outside the section, once: an allocation may run Python code.
        if (!(made = Ref::steal(PyDict_New()))) return nullptr;
    }
}

// Pickled by reference, as Python functions are: the name under which the module holds it.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return or_none(as_function(self)->qualname);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

template <class Row>
Py_ssize_t rows(const Row* row, const char* Row::*name) {
    Py_ssize_t n = 0;
    while (row && row[n].*name) ++n;
    return n;
}

// Room for every name PyType_Ready and the module's set-up put in a class's dictionary: the
// method and attribute rows (neither class declares members), plus the slot wrappers and
// special names (__doc__, __new__, __init__, __repr__, __call__, __get__, __pyx_vtable__ ...:
// at most 8 in these two classes).
Py_ssize_t type_dict_room(const PyTypeObject& t) {
    constexpr Py_ssize_t slot_and_special_names = 16;
    return rows(t.tp_methods, &PyMethodDef::ml_name) + rows(t.tp_getset, &PyGetSetDef::name) +
           slot_and_special_names;
}

}  // namespace

bool ready_static_type(PyTypeObject& t, void (*declare)(PyTypeObject&)) noexcept {
    if (t.tp_flags & Py_TPFLAGS_READY) return true;
    // An attempt that failed late in PyType_Ready has already copied object's slots into the
    // type, and a retry would publish a wrapper for each (__repr__, __hash__, the comparisons,
    // the attribute hooks ...) in its namespace. Each attempt starts from the type as declared.
    t.tp_getattr = nullptr;
    t.tp_setattr = nullptr;
    t.tp_repr = nullptr;
    t.tp_hash = nullptr;
    t.tp_str = nullptr;
    t.tp_getattro = nullptr;
    t.tp_setattro = nullptr;
    t.tp_richcompare = nullptr;
    t.tp_init = nullptr;
    t.tp_alloc = nullptr;
    t.tp_new = nullptr;
    t.tp_free = nullptr;
    declare(t);
    if (!t.tp_dict) {
        t.tp_dict = compat::type_dict(type_dict_room(t));
        if (!t.tp_dict) return false;
    }
    return PyType_Ready(&t) == 0;
}

namespace {

void declare_function_type(PyTypeObject& t) {
    t.tp_name = "kelvaro_duneth.kv_duneth.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | compat::vectorcall_flag |
                 compat::method_descriptor_flag;
    t.tp_dealloc = function_dealloc;
    t.tp_repr = function_repr;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_getset = function_getset;
    t.tp_methods = function_methods;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    t.tp_call = function_call;
    compat::call_through_vectorcall(&t, offsetof(FunctionObject, vectorcall));
}

}  // namespace

bool function_type_ready() noexcept {
    return ready_static_type(function_type, declare_function_type);
}

Ref make_code(const Signature& sig, const char* qualname) noexcept {
    const bool takes_self = sig.site.scope == Scope::method;
    Py_ssize_t nlocals = 0;
    while (nlocals < max_locals && sig.locals[nlocals]) ++nlocals;
    const Py_ssize_t first = takes_self ? 1 : 0;
    Ref varnames = Ref::steal(PyTuple_New(first + sig.count() + nlocals));
    if (!varnames) return {};
    Py_ssize_t i = 0;
    if (takes_self) PyTuple_SET_ITEM(varnames.get(), i++, new_ref(names.self));
    for (Py_ssize_t p = 0; p < sig.count(); ++p)
        PyTuple_SET_ITEM(varnames.get(), i++, new_ref(names.*sig.params[p].name));
    for (Py_ssize_t l = 0; l < nlocals; ++l) {
        PyObject* name = PyUnicode_InternFromString(sig.locals[l]);
        if (!name) return {};
        PyTuple_SET_ITEM(varnames.get(), i++, name);
    }
    return Ref::steal(compat::new_code(sig.site.file, sig.site.name, qualname, sig.first_line,
                                       static_cast<int>(first + sig.count()), varnames.get()));
}

Ref make_function(PyMethodDef* row, PyTypeObject* owner, PyObject* qualname, PyObject* code,
                  PyObject* defaults) noexcept {
    FunctionObject* f = PyObject_GC_New(FunctionObject, &function_type);
    if (!f) return {};
    f->vectorcall = function_vectorcall;
    f->row = row;
    f->owner = owner;
    f->name = PyUnicode_InternFromString(row->ml_name);
    f->qualname = new_ref(qualname);
    f->module = new_ref(names.full_module_name);
    f->code = new_ref(code);
    f->defaults = new_ref(defaults);
    f->annotations = nullptr;
    f->dict = nullptr;
    PyObject_GC_Track(f);
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(f));
    compat::share_between_threads(result.get());
    if (!f->name) return {};
    return result;
}

}  // namespace kvd
