// The module definition: creation, one-time execution, the import statements and the bindings.
#include "calls.hpp"
#include "cipher.hpp"
#include "traceback.hpp"

#include <utility>

namespace kvd {
namespace {

// Module execution's traceback entries, in the source path or, for the pickling bindings, in
// "<stringsource>".
constexpr Site init_site{.name = "", .scope = Scope::init};
constexpr Site init_pickling_site{.name = "", .file = string_source, .scope = Scope::init};

// One module per process, whichever thread loads it and under whichever name. Without a GIL,
// two imports under two names can create and execute at once: this lock guards the interpreter
// id and the remembered module, never across a call into Python.
compat::Mutex loading_mutex;

// ---- creation -------------------------------------------------------------------------------

// True when `id` is the interpreter that created the module first (or now is that one).
bool is_first_interpreter(int64_t id) {
    compat::Locked locked(loading_mutex);
    if (module_state.main_interpreter_id == -1) module_state.main_interpreter_id = id;
    return module_state.main_interpreter_id == id;
}

bool check_single_interpreter() {
    const int64_t id = compat::interpreter_id();
    if (!is_first_interpreter(id)) {  // the error is raised after the lock: it allocates
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return false;
    }
    return id != -1;  // the query failed and set its error
}

Ref remembered_module() {
    compat::Locked locked(loading_mutex);
    return Ref::borrow(module_state.module);
}

// Copy spec.<from> to the module's <to>; an absent attribute is skipped.
bool copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to,
                    bool none_too) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (!none_too && value.get() == Py_None) return true;
    return PyDict_SetItemString(dict, to, value.get()) == 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    if (!check_single_interpreter()) return nullptr;
    if (Ref remembered = remembered_module()) return remembered.release();
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    Ref module = name ? Ref::steal(PyModule_NewObject(name.get())) : Ref();
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!dict || !copy_spec_attr(spec, dict, "loader", "__loader__", true) ||
        !copy_spec_attr(spec, dict, "origin", "__file__", true) ||
        !copy_spec_attr(spec, dict, "parent", "__package__", true) ||
        !copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false))
        return nullptr;
    return module.release();
}

// ---- execution ------------------------------------------------------------------------------

// Packs "3.11.2+..." as 0x030B0200: up to four dotted numbers from the top byte down.
unsigned long packed_version(const char* text) {
    unsigned long version = 0, factor = 0x01000000UL;
    for (int i = 0; factor; factor >>= 8, ++i) {
        unsigned long number = 0;
        while (text[i] >= '0' && text[i] <= '9') number = number * 10 + (text[i++] - '0');
        version += factor * number;
        if (text[i] != '.') break;
    }
    return version;
}

bool check_version() {
    const unsigned long built = (PY_MAJOR_VERSION << 24) | (PY_MINOR_VERSION << 16);
    const unsigned long running = packed_version(Py_GetVersion());
    if ((running & 0xFFFF0000UL) == (built & 0xFFFF0000UL)) return true;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  int(built >> 24), int((built >> 16) & 0xFF), "kelvaro_duneth.kv_duneth",
                  "does not match", int(running >> 24), int((running >> 16) & 0xFF));
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

bool enter_in_sys_modules(PyObject* module, bool& entered) {
    Ref modules = Ref::borrow(PyImport_GetModuleDict());
    if (!modules) return false;
    Ref existing;
    if (!dict_item(modules.get(), names.full_module_name, existing)) return false;
    if (existing) return true;
    entered = PyDict_SetItem(modules.get(), names.full_module_name, module) == 0;
    return entered;
}

// The cached per-callable constants: qualified names and code objects. Raw pointers on
// purpose: they live for the process, and no C++ destructor may touch them after finalisation.
PyObject* method_qualnames[class_method_count];
PyObject* method_codes[class_method_count];
PyObject* unpickle_code;

bool make_code_objects() {
    for (int i = 0; i < class_method_count; ++i) {
        const Signature& sig = *class_methods[i]->sig;
        if (method_codes[i]) continue;
        if (!method_qualnames[i] &&
            !(method_qualnames[i] = PyUnicode_FromFormat("kv_duneth.%s", sig.site.name)))
            return false;
        method_codes[i] = make_code(sig, PyUnicode_AsUTF8(method_qualnames[i])).release();
        if (!method_codes[i]) return false;
    }
    if (!unpickle_code)
        unpickle_code = make_code(*unpickle_method.sig, unpickle_method.sig->site.name).release();
    return unpickle_code != nullptr;
}

// A statement failed: report its line, as the module's own frame would.
struct StatementFailure {
    const Site* site;
    int line;
};

bool import_base64(PyObject* dict) {
    // A module already in sys.modules is used unless it is still initialising.
    Ref module = Ref::steal(PyImport_GetModule(names.base64));
    if (module) {
        Ref spec = Ref::steal(PyObject_GetAttr(module.get(), names.spec_));
        Ref initializing = spec ? getattr(spec.get(), names.initializing) : Ref();
        int unsafe = initializing ? PyObject_IsTrue(initializing.get()) : 0;
        PyErr_Clear();
        if (unsafe != 1) return PyDict_SetItem(dict, names.base64, module.get()) == 0;
    } else if (PyErr_Occurred()) {
        PyErr_Clear();
    }
    module = import_module(names.base64, nullptr);
    return module && PyDict_SetItem(dict, names.base64, module.get()) == 0;
}

bool import_names(PyObject* dict, PyObject* module_name, PyObject* fromlist) {
    Ref module = import_module(module_name, fromlist);
    if (!module) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fromlist); ++i) {
        PyObject* name = PyTuple_GET_ITEM(fromlist, i);
        Ref value = import_from(module.get(), name);
        if (!value || PyDict_SetItem(dict, name, value.get()) < 0) return false;
    }
    return true;
}

bool bind_method(int i) {
    const Signature& sig = *class_methods[i]->sig;
    PyObject* defaults = sig.defaults_zero ? constants.date_defaults : nullptr;
    Ref function = make_function(&class_method_rows[i], &cipher_type, method_qualnames[i],
                                 method_codes[i], defaults);
    Ref name = function ? Ref::steal(PyUnicode_InternFromString(sig.site.name)) : Ref();
    if (!name || PyDict_SetItem(cipher_type.tp_dict, name.get(), function.get()) < 0) return false;
    PyType_Modified(&cipher_type);
    return true;
}

// Runs the module's statements in order; on failure, reports which one failed.
bool run_statements(PyObject* dict, StatementFailure& failed) {
    failed = {&init_site, 4};
    if (!import_base64(dict)) return false;
    failed.line = 5;
    if (!import_names(dict, names.datetime, constants.from_datetime)) return false;
    failed.line = 6;
    if (!import_names(dict, names.mod_fernet, constants.from_fernet)) return false;
    failed.line = 7;
    if (!import_names(dict, names.mod_primitives, constants.from_hashes)) return false;
    failed.line = 8;
    if (!import_names(dict, names.mod_pbkdf2, constants.from_pbkdf2)) return false;
    for (int i = 0; i < class_method_count; ++i) {
        const Signature& sig = *class_methods[i]->sig;
        const bool pickling = sig.site.file == string_source;
        failed = {pickling ? &init_pickling_site : &init_site, sig.first_line};
        if (!bind_method(i)) return false;
    }
    failed = {&init_pickling_site, 1};
    Ref unpickle =
        make_function(&unpickle_row, nullptr, names.pyx_unpickle, unpickle_code, nullptr);
    if (!unpickle || PyDict_SetItem(dict, names.pyx_unpickle, unpickle.get()) < 0) return false;
    failed = {&init_site, 1};
    Ref test = Ref::steal(PyDict_New());
    return test && PyDict_SetItem(dict, names.test_, test.get()) == 0;
}

// Steps after the constants exist; any failure reports line 1 unless a statement says otherwise.
bool execute_body(PyObject* module, StatementFailure& failed, bool& entered) {
    failed = {&init_site, 1};
    if (!enter_in_sys_modules(module, entered)) return false;
    Ref value_error = builtin(names.ValueError);
    if (!value_error) return false;
    cache(&ModuleState::value_error, std::move(value_error));
    if (!make_code_objects() || !function_type_ready() || !set_up_class(module)) return false;
    return run_statements(module_namespace().get(), failed);
}

// An entry that execution made under the full name must not outlive a failed load.
void leave_sys_modules(PyObject* module) {
    compat::PendingError pending;
    pending.fetch();
    Ref modules = Ref::borrow(PyImport_GetModuleDict());
    Ref entry;
    if (modules && dict_item(modules.get(), names.full_module_name, entry) && entry.get() == module)
        PyDict_DelItem(modules.get(), names.full_module_name);
    PyErr_Clear();
    pending.restore();
}

// A failed load takes back what it cached: the namespace and what the methods read beside it.
// The names, constants and code objects stay; they hold nothing of the load, and the class
// that load made ready goes on using them.
void release_load_state() {
    compat::PendingError pending;  // a release may run finalisers: not with the error set
    pending.fetch();
    cache(&ModuleState::dict, Ref());
    cache(&ModuleState::builtins, Ref());
    cache(&ModuleState::value_error, Ref());
    pending.restore();
}

enum class Claim { execute, done, refused };

// Execution runs once: the first caller remembers the module and executes it. The same module
// again is done at once, even while another thread is still executing it: waiting for that
// thread would be a lock the import system cannot see, and that thread may be waiting for a
// module this one is importing. Any other module object is refused.
Claim claim_execution(PyObject* module) {
    compat::Locked locked(loading_mutex);
    if (!module_state.module) {
        module_state.module = new_ref(module);
        return Claim::execute;
    }
    return module_state.module == module ? Claim::done : Claim::refused;
}

// A failed execution forgets the module, so the next import starts afresh.
void forget_module() {
    Ref forgotten;
    compat::Locked locked(loading_mutex);
    forgotten = Ref::steal(std::exchange(module_state.module, nullptr));
}  // `forgotten` goes after the lock

bool execute(PyObject* module) {
    cache(&ModuleState::dict, Ref::borrow(PyModule_GetDict(module)));
    bool constants_made = false, entered = false;
    StatementFailure failed{&init_site, 1};
    const bool ok = [&] {
        Ref builtins = Ref::steal(compat::builtins_module());
        if (!builtins) return false;
        cache(&ModuleState::builtins, builtins.dup());
        if (PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0 ||
            !check_version() || !make_names_and_constants())
            return false;
        constants_made = true;
        return execute_body(module, failed, entered);
    }();
    if (ok) return true;
    if (constants_made) add_traceback(*failed.site, failed.line);
    if (entered) leave_sys_modules(module);
    release_load_state();
    forget_module();
    return false;
}

int module_exec(PyObject* module) noexcept {
    switch (claim_execution(module)) {
    case Claim::execute:
        return execute(module) ? 0 : -1;
    case Claim::done:
        return 0;
    case Claim::refused:
        break;
    }
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'kv_duneth' has already been imported. Re-initialisation is not "
                    "supported.");
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    KVD_MODULE_GIL_SLOT
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "kv_duneth", nullptr, 0, nullptr, module_slots, nullptr, nullptr,
    nullptr,
};

}  // namespace
}  // namespace kvd

PyMODINIT_FUNC PyInit_kv_duneth() { return PyModuleDef_Init(&kvd::module_def); }
