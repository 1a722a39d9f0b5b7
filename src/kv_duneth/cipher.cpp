// The cipher object: record, allocation, GC support, construction and key derivation.
#include "cipher.hpp"

#include "calls.hpp"
#include "traceback.hpp"

namespace kvd {
namespace {

constexpr Signature init_sig{
    .site = {"__init__"}, .first_line = 14, .params = {{&Names::secret_key, Kind::text}}};
constexpr int init_line = 16;  // deriving and storing the cipher

// The internal operation: no binding, only its traceback entries.
constexpr Site create_fernet_site{.name = "_create_fernet"};
constexpr DerivationLines create_fernet_lines{.kdf = 20, .hash = 21, .key = 26};
constexpr int make_fernet_line = 27;

PyObject* create_fernet(CipherObject*, PyObject* secret_key) {
    Ref key = derive_key(constants.cipher_salt, secret_key, create_fernet_site,
                         create_fernet_lines);
    if (!key) return nullptr;
    Ref fernet_class = global(names.Fernet);
    Ref fernet = fernet_class ? call1(fernet_class.get(), key.get()) : Ref();
    if (!fernet) return fail_at(create_fernet_site, make_fernet_line);
    return fernet.release();
}

// The class-wide operations table; allocation stores its address in each object.
CipherOps cipher_ops = {.create_fernet = create_fernet};

int init_body(PyObject* self, PyObject* passphrase) {
    Ref secret_key = Ref::borrow(passphrase);  // the field may be replaced during derivation
    store_field(self, &CipherObject::secret_key, secret_key.dup());
    // Between the two stores another thread may see the new passphrase with the old cipher.
    CipherObject* c = as_cipher(self);
    Ref fernet = Ref::steal(c->ops->create_fernet(c, secret_key.get()));
    if (!fernet) {
        add_traceback(init_sig.site, init_line);
        return -1;
    }
    store_field(self, &CipherObject::fernet, std::move(fernet));
    return 0;
}

int cipher_init(PyObject* self, PyObject* args, PyObject* kwds) noexcept {
    HeldBound bound;
    if (!bind(init_sig, args, kwds, bound) || !enter_call()) return -1;
    const int result = init_body(self, bound.arg[0]);
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* cipher_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* o = (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT)
                      ? PyBaseObject_Type.tp_new(type, constants.empty_tuple, nullptr)
                      : type->tp_alloc(type, 0);
    if (!o) return nullptr;
    as_cipher(o)->ops = &cipher_ops;
    store_field(o, &CipherObject::secret_key, Ref::borrow(Py_None));
    store_field(o, &CipherObject::fernet, Ref::borrow(Py_None));
    return o;
}

// Only the cipher can lead back to the object; the passphrase is a str. Traversal runs no
// Python code and must not touch reference counts, so it reads the field directly.
int cipher_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_cipher(self)->fernet);
    return 0;
}

int cipher_clear(PyObject* self) noexcept {
    store_field(self, &CipherObject::fernet, Ref::borrow(Py_None));
    return 0;
}

void cipher_dealloc(PyObject* self) noexcept {
    // No finaliser to run first: the class has none, and a subclass with __del__ is deallocated
    // by CPython's own subtype_dealloc, which runs it before calling this one.
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // A long chain of objects, each holding the next as its cipher, would otherwise free itself
    // recursively until the C stack overflows; the trashcan defers the deep part.
    KVD_TRASHCAN_BEGIN(self, cipher_dealloc)
    store_field(self, &CipherObject::secret_key, Ref());
    store_field(self, &CipherObject::fernet, Ref());
    type->tp_free(self);
    KVD_TRASHCAN_END(self)
}

void declare_class(PyTypeObject& t) {
    t.tp_name = "kelvaro_duneth.kv_duneth.kv_duneth";
    t.tp_basicsize = sizeof(CipherObject);
    t.tp_itemsize = 0;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_dealloc = cipher_dealloc;
    t.tp_traverse = cipher_traverse;
    t.tp_clear = cipher_clear;
    t.tp_methods = class_method_rows;
    t.tp_init = cipher_init;
    t.tp_new = cipher_new;
    for (int i = 0; i < class_method_count; ++i) {
        const Method& method = *class_methods[i];
        class_method_rows[i] = method_row(method.sig->site.name, method.entry);
    }
}

// A read of `name` on `obj`, where absence (AttributeError) is an answer and not a failure.
bool read_optional(PyObject* obj, PyObject* name, Ref& out) {
    out = Ref::steal(PyObject_GetAttr(obj, name));
    if (out || !PyErr_ExceptionMatches(PyExc_AttributeError)) return bool(out);
    PyErr_Clear();
    return true;
}

bool is_named(PyObject* method, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(method, names.name_));
    int equal = value ? PyObject_RichCompareBool(value.get(), name, Py_EQ) : -1;
    if (equal < 0) PyErr_Clear();
    return equal == 1;
}

// Moves the class-namespace entry `from` to `to`.
bool move_entry(PyObject* dict, PyObject* value, PyObject* to, PyObject* from) {
    return PyDict_SetItem(dict, to, value) == 0 && PyDict_DelItem(dict, from) == 0;
}

// Makes __reduce_cython__ and __setstate_cython__ the class's pickling hooks. An earlier load
// that failed later on may have wired them already and left the *_cython names absent.
bool wire_pickling_steps() {
    PyObject* type = reinterpret_cast<PyObject*>(&cipher_type);
    PyObject* object = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    PyObject* dict = cipher_type.tp_dict;
    Ref getstate, object_getstate;
    if (!read_optional(type, names.getstate_, getstate)) return false;
    if (getstate) {
        if (!read_optional(object, names.getstate_, object_getstate)) return false;
        if (object_getstate.get() != getstate.get()) return true;  // hooks of its own
    }
    Ref object_reduce_ex = getattr(object, names.reduce_ex_);
    Ref reduce_ex = object_reduce_ex ? getattr(type, names.reduce_ex_) : Ref();
    if (!reduce_ex) return false;
    if (reduce_ex.get() != object_reduce_ex.get()) return true;
    Ref object_reduce = getattr(object, names.reduce_);
    Ref reduce = object_reduce ? getattr(type, names.reduce_) : Ref();
    if (!reduce) return false;
    const bool inherited = reduce.get() == object_reduce.get();
    if (!inherited && !is_named(reduce.get(), names.reduce_cython_)) return true;
    Ref reduce_cython;
    if (!read_optional(type, names.reduce_cython_, reduce_cython)) return false;
    if (reduce_cython) {
        if (!move_entry(dict, reduce_cython.get(), names.reduce_, names.reduce_cython_))
            return false;
    } else if (inherited) {
        return false;
    }
    Ref setstate = Ref::steal(PyObject_GetAttr(type, names.setstate_));
    if (!setstate) PyErr_Clear();
    if (!setstate || is_named(setstate.get(), names.setstate_cython_)) {
        Ref setstate_cython;
        if (!read_optional(type, names.setstate_cython_, setstate_cython)) return false;
        if (setstate_cython) {
            if (!move_entry(dict, setstate_cython.get(), names.setstate_, names.setstate_cython_))
                return false;
        } else if (!setstate) {
            return false;
        }
    }
    PyType_Modified(&cipher_type);
    return true;
}

bool wire_pickling() {
    if (wire_pickling_steps()) return true;
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s",
                     cipher_type.tp_name);
    return false;
}

}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject cipher_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

#define KVD_METHOD_ADDRESS(name) &name##_method,
const Method* const class_methods[class_method_count] = {KVD_CLASS_METHODS(KVD_METHOD_ADDRESS)};
#undef KVD_METHOD_ADDRESS
PyMethodDef class_method_rows[class_method_count + 1] = {};

bool set_up_class(PyObject* module) noexcept {
    if (!ready_static_type(cipher_type, declare_class)) return false;
    Ref capsule = Ref::steal(PyCapsule_New(&cipher_ops, nullptr, nullptr));
    if (!capsule || PyDict_SetItem(cipher_type.tp_dict, names.pyx_vtable_, capsule.get()) < 0)
        return false;
    if (PyObject_SetAttr(module, names.kv_duneth, reinterpret_cast<PyObject*>(&cipher_type)) < 0)
        return false;
    return wire_pickling();
}

Ref derive_key(PyObject* salt, PyObject* passphrase, const Site& at,
               const DerivationLines& lines) noexcept {
    Ref pbkdf2 = global(names.PBKDF2HMAC);
    if (!pbkdf2) return Ref::steal(fail_at(at, lines.kdf));
    Ref hashes = global(names.hashes);
    Ref sha256 = hashes ? getattr(hashes.get(), names.SHA256) : Ref();
    Ref algorithm = sha256 ? call0(sha256.get()) : Ref();
    if (!algorithm) return Ref::steal(fail_at(at, lines.hash));
    PyObject* kdf_args[] = {algorithm.get(), constants.int_32, salt, constants.int_100000};
    Ref kdf = call_kw(pbkdf2.get(), kdf_args, constants.kw_kdf);
    if (!kdf) return Ref::steal(fail_at(at, lines.kdf));
    Ref base64 = global(names.base64);
    Ref b64encode = base64 ? getattr(base64.get(), names.urlsafe_b64encode) : Ref();
    Ref derive = b64encode ? getattr(kdf.get(), names.derive) : Ref();
    Ref password = derive ? encode_text(passphrase) : Ref();
    Ref raw = password ? call1(derive.get(), password.get()) : Ref();
    Ref key = raw ? call1(b64encode.get(), raw.get()) : Ref();
    if (!key) return Ref::steal(fail_at(at, lines.key));
    return key;
}

}  // namespace kvd
