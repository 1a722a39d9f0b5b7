// Pickling: the reduce and set-state methods, the unpickling function and the state loader.
#include "calls.hpp"
#include "cipher.hpp"
#include "traceback.hpp"

namespace kvd {
namespace {

constexpr Signature reduce_cython_sig{
    .site = {"__reduce_cython__", string_source}, .first_line = 1,
    .locals = {"state", "_dict", "use_setstate"}};
constexpr struct {
    int state = 5;           // making the state
    int dict = 6;            // reading __dict__
    int extend = 8;          // extending the state
    int two_step = 13;       // building the two-step form, with the look-up of the function
    int one_step = 15;       // building the one-step form, with the look-up
} reduce_lines{};

constexpr Signature setstate_cython_sig{
    .site = {"__setstate_cython__", string_source}, .first_line = 16,
    .params = {{&Names::pyx_state, Kind::any}}};
constexpr int setstate_line = 17;  // the state's type test and the loading

constexpr Signature unpickle_sig{
    .site = {"__pyx_unpickle_kv_duneth", string_source, Scope::function}, .first_line = 1,
    .params = {{&Names::pyx_type, Kind::any}, {&Names::pyx_checksum, Kind::int64},
               {&Names::pyx_state, Kind::any}},
    .locals = {"__pyx_PickleError", "__pyx_result"}};
constexpr struct {
    int membership = 4;      // the checksum test
    int import_error = 5;    // importing PickleError
    int raise = 6;           // formatting and raising
    int make = 7;            // calling __new__
    int load = 9;            // the state's type test and the loading
} unpickle_lines{};

// The state loader: internal, reached from the two operations above.
constexpr Site set_state_site{.name = "__pyx_unpickle_kv_duneth__set_state",
                              .file = string_source, .scope = Scope::function};
constexpr struct {
    int members = 12;        // members 0 and 1 and their tests
    int update = 14;         // the dictionary update
} set_state_lines{};

PyObject* fail_loading(int line) { return fail_at(set_state_site, line); }

// Loads (fernet, secret_key[, instance dict]) into `obj`. A failure part-way leaves what was
// already stored: fernet before a bad secret_key, both before a failing dict update.
bool load_state(PyObject* obj, PyObject* state) {
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return fail_loading(set_state_lines.members);
    }
    // The caller owns the tuple, and a tuple keeps its items: they may be used borrowed here.
    PyObject* fernet = PyTuple_GetItem(state, 0);
    if (!fernet) return fail_loading(set_state_lines.members);
    store_field(obj, &CipherObject::fernet, Ref::borrow(fernet));
    PyObject* secret_key = PyTuple_GetItem(state, 1);
    if (!secret_key) return fail_loading(set_state_lines.members);
    if (secret_key != Py_None && !PyUnicode_CheckExact(secret_key)) {
        raise_unexpected_type("unicode", secret_key);
        return fail_loading(set_state_lines.members);
    }
    store_field(obj, &CipherObject::secret_key, Ref::borrow(secret_key));
    if (PyTuple_GET_SIZE(state) <= 2) return true;
    if (!getattr(obj, names.dict_)) {  // no instance dictionary: the third member is ignored
        PyErr_Clear();
        return true;
    }
    Ref dict = getattr(obj, names.dict_);
    Ref update = dict ? getattr(dict.get(), names.update) : Ref();
    Ref done = update ? call1(update.get(), PyTuple_GET_ITEM(state, 2)) : Ref();
    return done || fail_loading(set_state_lines.update);
}

// getattr(obj, '__dict__', None)
Ref instance_dict_or_none(PyObject* obj) {
    // The class itself is static and has no __dict__ slot: spare the AttributeError.
    if (Py_TYPE(obj) == &cipher_type) return Ref::borrow(Py_None);
    Ref dict = getattr(obj, names.dict_);
    if (dict || !PyErr_ExceptionMatches(PyExc_AttributeError)) return dict;
    PyErr_Clear();
    return Ref::borrow(Py_None);
}

PyObject* reduce_cython(PyObject* self, const Bound&) {
    // The class too is held: the look-ups below run Python code, which may re-class the object.
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    CipherFields fields = fields_of(self);
    Ref state = tuple_of({fields.fernet.get(), fields.secret_key.get()});
    if (!state) return fail_at(reduce_cython_sig.site, reduce_lines.state);
    Ref dict = instance_dict_or_none(self);
    if (!dict) return fail_at(reduce_cython_sig.site, reduce_lines.dict);
    bool use_setstate = true;
    if (dict.get() != Py_None) {
        state = tuple_of({fields.fernet.get(), fields.secret_key.get(), dict.get()});
        if (!state) return fail_at(reduce_cython_sig.site, reduce_lines.extend);
    } else {
        use_setstate = fields.fernet.get() != Py_None || fields.secret_key.get() != Py_None;
    }
    const int line = use_setstate ? reduce_lines.two_step : reduce_lines.one_step;
    Ref unpickle = global(names.pyx_unpickle);
    Ref args = unpickle ? tuple_of({type.get(), constants.checksum_sha256,
                                    use_setstate ? Py_None : state.get()})
                        : Ref();
    Ref value = !args          ? Ref()
                : use_setstate ? tuple_of({unpickle.get(), args.get(), state.get()})
                               : tuple_of({unpickle.get(), args.get()});
    if (!value) return fail_at(reduce_cython_sig.site, line);
    return value.release();
}

PyObject* setstate_cython(PyObject* self, const Bound& b) {
    PyObject* state = b.arg[0];
    if (state != Py_None && !PyTuple_CheckExact(state)) {
        raise_unexpected_type("tuple", state);
        return fail_at(setstate_cython_sig.site, setstate_line);
    }
    if (!load_state(self, state)) return fail_at(setstate_cython_sig.site, setstate_line);
    Py_RETURN_NONE;
}

// raise PickleError("Incompatible checksums (...)" % checksum), importing it afresh.
PyObject* raise_incompatible(PyObject* checksum) {
    Ref pickle = import_module(names.pickle, constants.from_pickle);
    Ref pickle_error = pickle ? import_from(pickle.get(), names.PickleError) : Ref();
    if (!pickle_error) return fail_at(unpickle_sig.site, unpickle_lines.import_error);
    Ref message = Ref::steal(PyNumber_Remainder(constants.checksum_error, checksum));
    Ref error = message ? call1(pickle_error.get(), message.get()) : Ref();
    if (error) raise_object(error.get());
    return fail_at(unpickle_sig.site, unpickle_lines.raise);
}

PyObject* unpickle(PyObject*, const Bound& b) {
    PyObject* type = b.arg[0];
    PyObject* state = b.arg[2];
    Ref checksum = Ref::steal(PyLong_FromLongLong(b.num[1]));
    int known = checksum ? PySequence_Contains(constants.checksums, checksum.get()) : -1;
    if (known < 0) return fail_at(unpickle_sig.site, unpickle_lines.membership);
    if (!known) return raise_incompatible(checksum.get());
    // This class's __new__, which Python code can replace in the class namespace: the state is
    // loaded only into an object that has this class's record.
    Ref new_ = getattr(reinterpret_cast<PyObject*>(&cipher_type), names.new_);
    Ref result = new_ ? call1(new_.get(), type) : Ref();
    if (result && !PyObject_TypeCheck(result.get(), &cipher_type)) {
        PyErr_Format(PyExc_TypeError, "__new__ returned non-kv_duneth (type %.200s)",
                     TypeOf(result.get()).name());
        result = Ref();
    }
    if (!result) return fail_at(unpickle_sig.site, unpickle_lines.make);
    if (state == Py_None) return result.release();
    if (!PyTuple_CheckExact(state)) {
        raise_unexpected_type("tuple", state);
        return fail_at(unpickle_sig.site, unpickle_lines.load);
    }
    if (!load_state(result.get(), state))
        return fail_at(unpickle_sig.site, unpickle_lines.load);
    return result.release();
}

}  // namespace

KVD_METHOD(reduce_cython)
KVD_METHOD(setstate_cython)
KVD_METHOD(unpickle)
PyMethodDef unpickle_row = method_row(unpickle_sig.site.name, unpickle_method.entry);

}  // namespace kvd
