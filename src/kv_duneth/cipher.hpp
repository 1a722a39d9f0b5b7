// The class kv_duneth: its object record, internal operations, method rows and key derivation.
#pragma once

#include "function.hpp"

namespace kvd {

struct CipherObject;

// The internal operations table: reached only from native code, through each object's pointer.
struct CipherOps {
    PyObject* (*create_fernet)(CipherObject* self, PyObject* secret_key);
};

struct CipherObject {
    PyObject_HEAD
    CipherOps* ops;
    PyObject* secret_key;  // str or None
    PyObject* fernet;      // any object or None
};

inline CipherObject* as_cipher(PyObject* o) { return reinterpret_cast<CipherObject*>(o); }

extern PyTypeObject cipher_type;

// One callable of the module: how it binds and which entry point runs it.
struct Method {
    const Signature* sig;
    FastEntry entry;
};

// The rows of the class's method table, in table order, each defined by its subsystem's file.
extern const Method generate_end_date_method, get_today_date_method, string_to_secret_key_method,
    secret_key_to_string_method, encrypt_string_method, decrypt_string_method,
    encrypt_data_method, decrypt_data_method, reduce_cython_method, setstate_cython_method;
// The module-level unpickling function.
extern const Method unpickle_method;
extern PyMethodDef unpickle_row;

constexpr int class_method_count = 10;
extern const Method* const class_methods[class_method_count];
extern PyMethodDef class_method_rows[class_method_count + 1];

// Class set-up: operations table, readiness, capsule, module attribute, pickling hooks.
bool set_up_class(PyObject* module) noexcept;

// Where a key derivation reports its failures: the calling function and its statement lines.
struct DerivationSite {
    const char* function;
    int kdf_line;    // making the key-derivation object
    int hash_line;   // its hashes.SHA256() argument
    int key_line;    // deriving and encoding the key
};

// The key-derivation recipe: PBKDF2-HMAC-SHA256, 32 bytes, 100000 iterations over the UTF-8
// passphrase and `salt`, returned as URL-safe Base64 bytes.
Ref derive_key(PyObject* salt, PyObject* passphrase, const DerivationSite& site) noexcept;

}  // namespace kvd
