// The one place that knows how CPython 3.7 to 3.15 (and their free-threaded builds) differ;
// everything else uses the names below.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#if PY_VERSION_HEX < 0x03070000
#error "kv_duneth needs CPython 3.7 or newer"
#endif

// Before 3.9 PyMODINIT_FUNC carried no visibility, so -fvisibility=hidden hid the entry point.
#if PY_VERSION_HEX < 0x03090000
#undef PyMODINIT_FUNC
#define PyMODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#endif

namespace kvd::compat {

// Vectorcall became public in 3.8 (PEP 590); 3.7 only has the private fastcall-with-keywords entry.
#if PY_VERSION_HEX >= 0x03080000
inline Py_ssize_t nargs_of(size_t nargsf) { return PyVectorcall_NARGS(nargsf); }
#else
inline Py_ssize_t nargs_of(size_t nargsf) { return static_cast<Py_ssize_t>(nargsf); }
#endif

#ifndef PY_VECTORCALL_ARGUMENTS_OFFSET
#define PY_VECTORCALL_ARGUMENTS_OFFSET ((size_t)0)
#endif

inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
#elif PY_VERSION_HEX >= 0x03080000
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
    return _PyObject_FastCallKeywords(callable, const_cast<PyObject**>(args),
                                      static_cast<Py_ssize_t>(nargsf), kwnames);
#endif
}

// obj.name(*args) without a bound-method object where CPython can do that (3.9, bpo-37207).
inline PyObject* vectorcall_method(PyObject* name, PyObject* const* args, size_t nargsf) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_VectorcallMethod(name, args, nargsf, nullptr);
#else
    PyObject* method = PyObject_GetAttr(args[0], name);
    if (!method) return nullptr;
    Py_ssize_t nargs = nargs_of(nargsf);
    PyObject* result = vectorcall(method, args + 1, static_cast<size_t>(nargs - 1), nullptr);
    Py_DECREF(method);
    return result;
#endif
}

// Type flags that only exist from 3.8 on (bpo-36922 and PEP 590); 0 keeps 3.7 on the tp_call path.
#if PY_VERSION_HEX >= 0x03080000
constexpr unsigned long method_descriptor_flag = Py_TPFLAGS_METHOD_DESCRIPTOR;
#if PY_VERSION_HEX >= 0x03090000
constexpr unsigned long vectorcall_flag = Py_TPFLAGS_HAVE_VECTORCALL;
#else
constexpr unsigned long vectorcall_flag = _Py_TPFLAGS_HAVE_VECTORCALL;
#endif
#else
constexpr unsigned long method_descriptor_flag = 0;
constexpr unsigned long vectorcall_flag = 0;
#endif

// Calls of the type's instances go through the vectorcall pointer at `offset`: the offset, and
// tp_call as PyVectorcall_Call. 3.7 has no tp_vectorcall_offset (the field was tp_print) and
// keeps the tp_call it was given.
inline void call_through_vectorcall(PyTypeObject* type, Py_ssize_t offset) {
#if PY_VERSION_HEX >= 0x03080000
    type->tp_vectorcall_offset = offset;
    type->tp_call = PyVectorcall_Call;
#else
    (void)type;
    (void)offset;
#endif
}

// Deallocation depth limiting for long chains (a -> b -> c ... through the cipher slot).
// Py_TRASHCAN_BEGIN arrived in 3.8 (bpo-35983); 3.13 removed the older SAFE pair (gh-105111).
#if PY_VERSION_HEX >= 0x03080000
#define KVD_TRASHCAN_BEGIN(op, dealloc) Py_TRASHCAN_BEGIN(op, dealloc)
#define KVD_TRASHCAN_END(op) Py_TRASHCAN_END
#else
#define KVD_TRASHCAN_BEGIN(op, dealloc) Py_TRASHCAN_SAFE_BEGIN(op)
#define KVD_TRASHCAN_END(op) Py_TRASHCAN_SAFE_END(op)
#endif

inline int64_t interpreter_id() {
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
}

// A new reference to the builtins module; PyImport_AddModule is deprecated in 3.13 (gh-105922).
inline PyObject* builtins_module() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyImport_AddModuleRef("builtins");
#else
    PyObject* m = PyImport_AddModule("builtins");
    Py_XINCREF(m);
    return m;
#endif
}

// Free-threaded builds (PEP 703, 3.13+, Py_GIL_DISABLED). A critical section locks one object
// and may be suspended while its thread blocks, as the GIL is; on GIL builds it is an empty
// block. Mutex guards the process-wide caches there and costs nothing under a GIL.
#if PY_VERSION_HEX >= 0x030D0000
#define KVD_BEGIN_CRITICAL_SECTION(op) Py_BEGIN_CRITICAL_SECTION(op)
#define KVD_END_CRITICAL_SECTION() Py_END_CRITICAL_SECTION()
#else
#define KVD_BEGIN_CRITICAL_SECTION(op) {
#define KVD_END_CRITICAL_SECTION() }
#endif

#ifdef Py_GIL_DISABLED
class Mutex {
public:
    void lock() noexcept { PyMutex_Lock(&mutex_); }
    void unlock() noexcept { PyMutex_Unlock(&mutex_); }

private:
    PyMutex mutex_{};
};
// Importing keeps the GIL off (gh-116322): the module runs safely without it.
#define KVD_MODULE_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
class Mutex {
public:
    void lock() noexcept {}
    void unlock() noexcept {}
};
#define KVD_MODULE_GIL_SLOT
#endif

// An object that many threads call, as the function objects in the class namespace: without a
// GIL its reference count would be contended on every call, so CPython may count its references
// lazily instead (3.14, gh-123619; a no-op where unsupported or with a GIL).
inline void share_between_threads(PyObject* o) {
#if PY_VERSION_HEX >= 0x030E0000
    PyUnstable_Object_EnableDeferredRefcount(o);
#else
    (void)o;
#endif
}

// Holds a Mutex for a scope. Never across a call into Python or an allocation of a Python
// object: a finaliser run there may come back to the same lock on the same thread.
class Locked {
public:
    explicit Locked(Mutex& mutex) noexcept : mutex_(mutex) { mutex_.lock(); }
    ~Locked() { mutex_.unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    Mutex& mutex_;
};

// PyDict_GetItemRef (3.13, gh-106004): 1 and a new reference in *out when the key is there, 0
// when it is absent, -1 with an error set. Before 3.13 the borrowed result is taken over
// before anything else can run.
inline int dict_get_item_ref(PyObject* dict, PyObject* key, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, out);
#else
    *out = PyDict_GetItemWithError(dict, key);
    if (*out) {
        Py_INCREF(*out);
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// A dictionary for a static type's namespace, made before PyType_Ready. CPython 3.13.0 to
// 3.13.5 (gh-109700) count an entry that PyDict_SetDefault failed to add when growing the table
// ran out of memory, report success, and PyType_Ready goes on with that dictionary until a later
// resize reads the missing entry; there it gets room for `entries` keys from the start, so that
// it never grows during PyType_Ready. A 3.13 build may run on any 3.13 release: the test is at
// run time.
inline PyObject* type_dict(Py_ssize_t entries) {
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
    if (Py_Version < 0x030D0600) return _PyDict_NewPresized(entries);
#endif
    (void)entries;
    return PyDict_New();
}

// The pending exception as one object (3.12 made that the native form, gh-102755).
struct PendingError {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = nullptr;
    void fetch() { exc = PyErr_GetRaisedException(); }
    void restore() { PyErr_SetRaisedException(exc); exc = nullptr; }
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    void fetch() { PyErr_Fetch(&type, &value, &tb); }
    void restore() { PyErr_Restore(type, value, tb); type = value = tb = nullptr; }
#endif
};

// The pending exception as a normalised instance (new reference, traceback attached), cleared;
// and the way back. Used where a handler must look at what it caught.
inline PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

inline void give_exception(PyObject* exc) {  // steals `exc`
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

// Code objects: 3.7 has only the 15-argument PyCode_New; 3.8+ can build on PyCode_NewEmpty and
// code.replace(), which keeps us off the constructor that changed shape in 3.8, 3.11 and 3.12.
PyObject* new_code(const char* file, const char* name, const char* qualname, int firstline,
                   int argcount, PyObject* varnames);

}  // namespace kvd::compat
