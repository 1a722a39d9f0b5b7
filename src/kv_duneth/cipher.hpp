// The class kv_duneth: its object record, internal operations, method rows and key derivation.
#pragma once

#include "function.hpp"

namespace kvd {

struct CipherObject;

// The internal operations table: reached only from native code, through each object's pointer.
struct CipherOps {
    PyObject* (*create_fernet)(CipherObject* self, PyObject* secret_key);
};

// Ownership rule for the whole module: nothing it does not own for the whole span (a field of
// an object record, a type, a dictionary value, an item of a container) is used through a
// borrowed pointer across a call that can run Python code. Any allocation can: it may run the
// collector, finalisers and gc callbacks, and hand the GIL to another thread, and that code may
// re-key the object, re-class it or empty the dictionary. So the two fields are read only
// through fields_of() and its shorthands, which hand out owned references, and stored only
// through store_field(); a borrowed pointer lives only until the next such call.
struct CipherObject {
    PyObject_HEAD
    CipherOps* ops;
    PyObject* secret_key;  // str or None
    PyObject* fernet;      // any object or None
};

inline CipherObject* as_cipher(PyObject* o) { return reinterpret_cast<CipherObject*>(o); }

using CipherField = PyObject* CipherObject::*;

// Both fields as one snapshot, for the operations that report them together.
struct CipherFields {
    Ref fernet;
    Ref secret_key;
};

// Without a GIL, reads and stores of one object's fields take the object's critical section;
// a reference is taken before leaving it, and a replaced value is released after.
inline CipherFields fields_of(PyObject* self) noexcept {
    CipherFields fields;
    CipherObject* c = as_cipher(self);
    KVD_BEGIN_CRITICAL_SECTION(self);
    fields.fernet = Ref::borrow(c->fernet);
    fields.secret_key = Ref::borrow(c->secret_key);
    KVD_END_CRITICAL_SECTION();
    return fields;
}

inline Ref field_of(PyObject* self, CipherField field) noexcept {
    Ref value;
    KVD_BEGIN_CRITICAL_SECTION(self);
    value = Ref::borrow(as_cipher(self)->*field);
    KVD_END_CRITICAL_SECTION();
    return value;
}
inline Ref fernet_of(PyObject* self) noexcept { return field_of(self, &CipherObject::fernet); }

// Takes over `value`, stores it, and releases the old value last: the release may run a
// finaliser, which must find the object already consistent.
inline void store_field(PyObject* self, CipherField field, Ref value) noexcept {
    Ref old;
    KVD_BEGIN_CRITICAL_SECTION(self);
    old = Ref::steal(std::exchange(as_cipher(self)->*field, value.release()));
    KVD_END_CRITICAL_SECTION();
}

extern PyTypeObject cipher_type;

// One callable of the module: how it binds and which entry point runs it.
struct Method {
    const Signature* sig;
    FastEntry entry;
};

// The class's methods in table order, by their C++ names (the pickling ones drop CPython's
// underscores). Each subsystem's file defines the row `<name>_sig`, the body `<name>` and, with
// KVD_METHOD, `<name>_method`; the declarations, the table and its count follow from this list.
#define KVD_CLASS_METHODS(X)                                                             \
    X(generate_end_date) X(get_today_date) X(string_to_secret_key) X(secret_key_to_string) \
    X(encrypt_string) X(decrypt_string) X(encrypt_data) X(decrypt_data)                    \
    X(reduce_cython) X(setstate_cython)

#define KVD_DECLARE_METHOD(name) extern const Method name##_method;
KVD_CLASS_METHODS(KVD_DECLARE_METHOD)
#undef KVD_DECLARE_METHOD
#define KVD_COUNT_METHOD(name) +1
constexpr int class_method_count = 0 KVD_CLASS_METHODS(KVD_COUNT_METHOD);
#undef KVD_COUNT_METHOD
extern const Method* const class_methods[class_method_count];
extern PyMethodDef class_method_rows[class_method_count + 1];

// The method `name`: its row `name##_sig`, its body `name`, bound by `entry`.
#define KVD_METHOD(name) const Method name##_method = {&name##_sig, entry<name##_sig, name>};

// The module-level unpickling function.
extern const Method unpickle_method;
extern PyMethodDef unpickle_row;

// Class set-up: readiness, the operations table's capsule, module attribute, pickling hooks.
bool set_up_class(PyObject* module) noexcept;

// Where a key derivation reports its failures: the calling routine and its statement lines.
struct DerivationLines {
    int kdf;   // making the key-derivation object
    int hash;  // its hashes.SHA256() argument
    int key;   // deriving and encoding the key
};

// The key-derivation recipe: PBKDF2-HMAC-SHA256, 32 bytes, 100000 iterations over the UTF-8
// passphrase and `salt`, returned as URL-safe Base64 bytes.
Ref derive_key(PyObject* salt, PyObject* passphrase, const Site& at,
               const DerivationLines& lines) noexcept;

}  // namespace kvd
