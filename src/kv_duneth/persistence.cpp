// Pickling: the reduce and set-state methods, the unpickling function and the state loader.
#include "cipher.hpp"
#include "module.hpp"
#include "traceback.hpp"

namespace kvd {
namespace {

constexpr const char* reduce_name = "kelvaro_duneth.kv_duneth.kv_duneth.__reduce_cython__";
constexpr const char* setstate_name = "kelvaro_duneth.kv_duneth.kv_duneth.__setstate_cython__";
constexpr const char* unpickle_name = "kelvaro_duneth.kv_duneth.__pyx_unpickle_kv_duneth";
constexpr const char* set_state_name =
    "kelvaro_duneth.kv_duneth.__pyx_unpickle_kv_duneth__set_state";

constexpr Signature reduce_sig = {"__reduce_cython__", reduce_name, string_source, 1, false, 0, {},
                              {"state", "_dict", "use_setstate"}};
constexpr Signature setstate_sig = {"__setstate_cython__", setstate_name, string_source, 16, false, 1,
                                {{&N.pyx_state, Kind::any}}, {}};
constexpr Signature unpickle_sig = {
    "__pyx_unpickle_kv_duneth", unpickle_name, string_source, 1, false, 3,
    {{&N.pyx_type, Kind::any}, {&N.pyx_checksum, Kind::int64}, {&N.pyx_state, Kind::any}},
    {"__pyx_PickleError", "__pyx_result"}};

PyObject* fail_loading(int line) { return fail_at(set_state_name, string_source, line); }

// Loads (fernet, secret_key[, instance dict]) into `obj`. A failure part-way leaves what was
// already stored: fernet before a bad secret_key, both before a failing dict update.
bool load_state(PyObject* obj, PyObject* state) {
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return fail_loading(12);
    }
    // The caller owns the tuple, and a tuple keeps its items: they may be used borrowed here.
    PyObject* fernet = PyTuple_GetItem(state, 0);
    if (!fernet) return fail_loading(12);
    store_field(obj, &CipherObject::fernet, Ref::borrow(fernet));
    PyObject* secret_key = PyTuple_GetItem(state, 1);
    if (!secret_key) return fail_loading(12);
    if (secret_key != Py_None && !PyUnicode_CheckExact(secret_key)) {
        raise_unexpected_type("unicode", secret_key);
        return fail_loading(12);
    }
    store_field(obj, &CipherObject::secret_key, Ref::borrow(secret_key));
    if (PyTuple_GET_SIZE(state) <= 2) return true;
    if (!getattr(obj, N.dict)) {  // no instance dictionary: the third member is ignored
        PyErr_Clear();
        return true;
    }
    Ref dict = getattr(obj, N.dict);
    Ref update = dict ? getattr(dict.get(), N.update) : Ref();
    Ref done = update ? call1(update.get(), PyTuple_GET_ITEM(state, 2)) : Ref();
    return done || fail_loading(14);
}

Ref tuple_of(std::initializer_list<PyObject*> items) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!t) return t;
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(t.get(), i++, Ref::borrow(item).release());
    return t;
}

// getattr(obj, '__dict__', None)
Ref instance_dict_or_none(PyObject* obj) {
    // The class itself is static and has no __dict__ slot: spare the AttributeError.
    if (Py_TYPE(obj) == &cipher_type) return Ref::borrow(Py_None);
    Ref dict = getattr(obj, N.dict);
    if (dict || !PyErr_ExceptionMatches(PyExc_AttributeError)) return dict;
    PyErr_Clear();
    return Ref::borrow(Py_None);
}

PyObject* reduce(PyObject* self, const Bound&) {
    // The class too is held: the look-ups below run Python code, which may re-class the object.
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    CipherFields fields = fields_of(self);
    Ref state = tuple_of({fields.fernet.get(), fields.secret_key.get()});
    if (!state) return fail_at(reduce_name, string_source, 5);
    Ref dict = instance_dict_or_none(self);
    if (!dict) return fail_at(reduce_name, string_source, 6);
    bool use_setstate = true;
    if (dict.get() != Py_None) {
        state = tuple_of({fields.fernet.get(), fields.secret_key.get(), dict.get()});
        if (!state) return fail_at(reduce_name, string_source, 8);
    } else {
        use_setstate = fields.fernet.get() != Py_None || fields.secret_key.get() != Py_None;
    }
    const int line = use_setstate ? 13 : 15;
    Ref unpickle = global(N.pyx_unpickle);
    Ref args = unpickle ? tuple_of({type.get(), C.checksum_sha256,
                                    use_setstate ? Py_None : state.get()})
                        : Ref();
    Ref value = !args          ? Ref()
                : use_setstate ? tuple_of({unpickle.get(), args.get(), state.get()})
                               : tuple_of({unpickle.get(), args.get()});
    if (!value) return fail_at(reduce_name, string_source, line);
    return value.release();
}

PyObject* setstate(PyObject* self, const Bound& b) {
    PyObject* state = b.arg[0];
    if (state != Py_None && !PyTuple_CheckExact(state)) {
        raise_unexpected_type("tuple", state);
        return fail_at(setstate_name, string_source, 17);
    }
    if (!load_state(self, state)) return fail_at(setstate_name, string_source, 17);
    Py_RETURN_NONE;
}

// raise PickleError("Incompatible checksums (...)" % checksum), importing it afresh.
PyObject* raise_incompatible(PyObject* checksum) {
    Ref pickle = import_module(N.pickle, C.from_pickle);
    Ref pickle_error = pickle ? import_from(pickle.get(), N.PickleError) : Ref();
    if (!pickle_error) return fail_at(unpickle_name, string_source, 5);
    Ref message = Ref::steal(PyNumber_Remainder(C.checksum_error, checksum));
    Ref error = message ? call1(pickle_error.get(), message.get()) : Ref();
    if (error) raise_object(error.get());
    return fail_at(unpickle_name, string_source, 6);
}

PyObject* unpickle(PyObject*, const Bound& b) {
    PyObject* type = b.arg[0];
    PyObject* state = b.arg[2];
    Ref checksum = Ref::steal(PyLong_FromLongLong(b.num[1]));
    int known = checksum ? PySequence_Contains(C.checksums, checksum.get()) : -1;
    if (known < 0) return fail_at(unpickle_name, string_source, 4);
    if (!known) return raise_incompatible(checksum.get());
    // Always this class's __new__: whatever the type, the result has our object record.
    Ref new_ = getattr(reinterpret_cast<PyObject*>(&cipher_type), N.new_);
    Ref result = new_ ? call1(new_.get(), type) : Ref();
    if (!result) return fail_at(unpickle_name, string_source, 7);
    if (state == Py_None) return result.release();
    if (!PyTuple_CheckExact(state)) {
        raise_unexpected_type("tuple", state);
        return fail_at(unpickle_name, string_source, 9);
    }
    if (!load_state(result.get(), state))
        return fail_at(unpickle_name, string_source, 9);
    return result.release();
}

}  // namespace

const Method reduce_cython_method = {&reduce_sig, entry<reduce_sig, reduce>};
const Method setstate_cython_method = {&setstate_sig, entry<setstate_sig, setstate>};
const Method unpickle_method = {&unpickle_sig, entry<unpickle_sig, unpickle>};
PyMethodDef unpickle_row = method_row("__pyx_unpickle_kv_duneth", unpickle_method.entry);

}  // namespace kvd
