// Process-wide state: the module, its namespace, and every name and constant made once at load.
#pragma once

#include "ref.hpp"

namespace kvd {

// Identifiers, interned so that keyword and dictionary look-ups compare by pointer. A dunder
// name "__x__" is the field `x_`; "__pyx_x" is `pyx_x`.
#define KVD_IDENTIFIERS(X)                                                                         \
    X(self, "self") X(secret_key, "secret_key") X(input_string, "input_string")                    \
    X(encrypted_string, "encrypted_string") X(data, "data")                                        \
    X(encrypted_data, "encrypted_data") X(years, "years") X(months, "months")                      \
    X(days, "days") X(pyx_state, "__pyx_state") X(pyx_type, "__pyx_type")                          \
    X(pyx_checksum, "__pyx_checksum") X(month, "month") X(year, "year") X(day, "day")              \
    X(salt, "salt") X(base64, "base64") X(datetime, "datetime") X(timedelta, "timedelta")          \
    X(Fernet, "Fernet") X(hashes, "hashes") X(PBKDF2HMAC, "PBKDF2HMAC")                            \
    X(pyx_unpickle, "__pyx_unpickle_kv_duneth") X(test_, "__test__")                               \
    X(kv_duneth, "kv_duneth") X(ValueError, "ValueError") X(SHA256, "SHA256")                      \
    X(algorithm, "algorithm") X(length, "length") X(iterations, "iterations")                      \
    X(urlsafe_b64encode, "urlsafe_b64encode") X(derive, "derive") X(decode, "decode")              \
    X(encrypt, "encrypt") X(decrypt, "decrypt") X(now, "now") X(strftime, "strftime")              \
    X(replace, "replace") X(dict_, "__dict__") X(update, "update") X(new_, "__new__")              \
    X(PickleError, "PickleError") X(pickle, "pickle") X(spec_, "__spec__")                         \
    X(initializing, "_initializing") X(reduce_, "__reduce__") X(reduce_ex_, "__reduce_ex__")       \
    X(reduce_cython_, "__reduce_cython__") X(setstate_, "__setstate__")                            \
    X(setstate_cython_, "__setstate_cython__") X(getstate_, "__getstate__")                        \
    X(name_, "__name__") X(builtins_, "__builtins__") X(pyx_vtable_, "__pyx_vtable__")             \
    X(mod_fernet, "cryptography.fernet")                                                           \
    X(mod_primitives, "cryptography.hazmat.primitives")                                            \
    X(mod_pbkdf2, "cryptography.hazmat.primitives.kdf.pbkdf2")                                     \
    X(full_module_name, "kelvaro_duneth.kv_duneth")

struct Names {
#define KVD_FIELD(field, text) PyObject* field = nullptr;
    KVD_IDENTIFIERS(KVD_FIELD)
#undef KVD_FIELD
};

// Literals, numbers and tuples that the methods share.
struct Constants {
    PyObject* empty_tuple = nullptr;
    PyObject* cipher_salt = nullptr;    // b"vo_trinkel_grit": the object's own key
    PyObject* key_string_salt = nullptr;  // b"pemb_": keys handed out as text
    PyObject* date_pattern = nullptr;   // "%Y-%m-%d"
    PyObject* checksum_error = nullptr; // the PickleError text, formatted with %
    PyObject* int_0 = nullptr;
    PyObject* int_1 = nullptr;
    PyObject* int_12 = nullptr;
    PyObject* int_32 = nullptr;
    PyObject* int_100000 = nullptr;
    PyObject* checksum_sha256 = nullptr;  // 0x2284821, the one written by reduce
    PyObject* checksum_sha1 = nullptr;    // 0xbc0ac1d
    PyObject* checksum_md5 = nullptr;     // 0x11b7a02
    PyObject* checksums = nullptr;        // the three, in that order
    PyObject* date_defaults = nullptr;    // (0, 0, 0)
    // Keyword-name tuples for vectorcalls into cryptography and datetime.
    PyObject* kw_kdf = nullptr;           // (algorithm, length, salt, iterations)
    PyObject* kw_days = nullptr;
    PyObject* kw_year = nullptr;
    PyObject* kw_year_day = nullptr;
    PyObject* kw_year_month = nullptr;
    PyObject* kw_year_month_day = nullptr;
    // From-lists of the import statements.
    PyObject* from_datetime = nullptr;
    PyObject* from_fernet = nullptr;
    PyObject* from_hashes = nullptr;
    PyObject* from_pbkdf2 = nullptr;
    PyObject* from_pickle = nullptr;
};

// What module execution caches for the methods. The namespace, the builtins and ValueError are
// replaced when a failed load is retried (without a GIL, also while another thread runs a
// method), so they are read only through the accessors below, which hand out owned references:
// a borrowed pointer could be freed by the very look-up it is passed to.
struct ModuleState {
    int64_t main_interpreter_id = -1;
    PyObject* module = nullptr;      // the remembered module (owned); guarded by module.cpp
    PyObject* dict = nullptr;        // its namespace (owned)
    PyObject* builtins = nullptr;    // owned
    PyObject* value_error = nullptr; // owned
};

using StateField = PyObject* ModuleState::*;

extern Names names;
extern Constants constants;
extern ModuleState module_state;

// The field's current value as an owned reference (empty before the first load, no error set).
Ref cached(StateField field) noexcept;
// Stores `value` in the field and releases the old value after the store.
void cache(StateField field, Ref value) noexcept;

inline Ref module_namespace() noexcept { return cached(&ModuleState::dict); }

// Make every identifier and constant; idempotent, so a retried import reuses them.
bool make_names_and_constants();

}  // namespace kvd
