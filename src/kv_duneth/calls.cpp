// Module globals, vectorcalls and UTF-8 conversions.
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

}  // namespace kvd
