// Version-specific constructions that do not fit in a header.
#include "compat.hpp"

#include "ref.hpp"

namespace kvd::compat {

PyObject* new_code(const char* file, const char* name, const char* qualname, int firstline,
                   int argcount, PyObject* varnames) {
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    const Py_ssize_t nlocals = PyTuple_GET_SIZE(varnames);
#if PY_VERSION_HEX < 0x03080000
    (void)qualname;
    Ref empty_bytes = Ref::steal(PyBytes_FromStringAndSize("", 0));
    Ref empty_tuple = Ref::steal(PyTuple_New(0));
    Ref filename = Ref::steal(PyUnicode_DecodeFSDefault(file));
    Ref funcname = Ref::steal(PyUnicode_FromString(name));
    if (!empty_bytes || !empty_tuple || !filename || !funcname) return nullptr;
    return reinterpret_cast<PyObject*>(PyCode_New(
        argcount, 0, static_cast<int>(nlocals), 0, flags, empty_bytes.get(), empty_tuple.get(),
        empty_tuple.get(), varnames, empty_tuple.get(), empty_tuple.get(), filename.get(),
        funcname.get(), firstline, empty_bytes.get()));
#else
    // PyCode_NewEmpty is the one constructor unchanged from 3.7 to 3.13; replace() does the rest.
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, name, firstline)));
    Ref replace = code ? Ref::steal(PyObject_GetAttrString(code.get(), "replace")) : Ref();
    Ref empty = Ref::steal(PyTuple_New(0));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!replace || !empty || !kwargs) return nullptr;
    Ref argc = Ref::steal(PyLong_FromLong(argcount));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref nloc = Ref::steal(PyLong_FromSsize_t(nlocals));
    Ref fl = Ref::steal(PyLong_FromLong(flags));
    if (!argc || !zero || !nloc || !fl) return nullptr;
    if (PyDict_SetItemString(kwargs.get(), "co_argcount", argc.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_posonlyargcount", zero.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_kwonlyargcount", zero.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_nlocals", nloc.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_varnames", varnames) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_flags", fl.get()) < 0)
        return nullptr;
#if PY_VERSION_HEX >= 0x030B0000
    Ref qual = Ref::steal(PyUnicode_FromString(qualname));
    if (!qual || PyDict_SetItemString(kwargs.get(), "co_qualname", qual.get()) < 0) return nullptr;
#else
    (void)qualname;
#endif
    return PyObject_Call(replace.get(), empty.get(), kwargs.get());
#endif
}

}  // namespace kvd::compat
