// Module globals, imports and UTF-8 conversions.
#include "calls.hpp"

#include "binding.hpp"

namespace kvd {

// Both hold the dictionary or module they search: a failed load releases the cached ones and a
// retry replaces them, from another thread or from Python code the look-up itself runs. After a
// failed load neither exists, and a method of the class it made ready finds its names nowhere.
Ref global(PyObject* name) noexcept {
    Ref value;  // the name is interned: its hash is cached
    Ref globals = module_namespace();
    if (globals && (!dict_item(globals.get(), name, value) || value)) return value;
    return builtin(name);
}

Ref builtin(PyObject* name) noexcept {
    Ref builtins = cached(&ModuleState::builtins);
    Ref value = builtins ? getattr(builtins.get(), name) : Ref();
    if (value || (builtins && !PyErr_ExceptionMatches(PyExc_AttributeError))) return value;
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref encode_text(PyObject* text) noexcept {
    if (text == Py_None) {
        raise_none_attribute("encode");
        return {};
    }
    return Ref::steal(PyUnicode_AsUTF8String(text));
}

Ref decode_bytes(PyObject* value) noexcept {
    if (PyBytes_CheckExact(value))
        return Ref::steal(
            PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), nullptr));
    return call_method0(value, names.decode);
}

Ref import_module(PyObject* name, PyObject* fromlist) noexcept {
    Ref globals = module_namespace();
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return {};
    return Ref::steal(
        PyImport_ImportModuleLevelObject(name, globals.get(), locals.get(), fromlist, 0));
}

Ref import_from(PyObject* module, PyObject* name) noexcept {
    Ref value = getattr(module, name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;  // others propagate
    PyErr_Clear();
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref full = module_name ? Ref::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), name))
                           : Ref();
    if (full) value = Ref::steal(PyImport_GetModule(full.get()));
    if (!value) PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return value;
}

void raise_object(PyObject* obj) noexcept {
    if (PyExceptionInstance_Check(obj))
        PyErr_SetObject(Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj))).get(), obj);
    else
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
}

}  // namespace kvd
