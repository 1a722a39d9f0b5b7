// Makes the interned identifiers and shared constants once per process.
#include "names.hpp"

namespace kvd {

Names N;
Constants C;
ModuleState S;

namespace {

bool constants_made = false;

PyObject* interned(const char* text) { return PyUnicode_InternFromString(text); }

bool make_identifiers() {
#define KVD_MAKE(field, text) \
    if (!(N.field = interned(text))) return false;
    KVD_IDENTIFIERS(KVD_MAKE)
#undef KVD_MAKE
    return true;
}

PyObject* tuple_of(std::initializer_list<PyObject*> items) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (!t) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        Py_INCREF(item);
        PyTuple_SET_ITEM(t, i++, item);
    }
    return t;
}

bool make_constants() {
    return (C.empty_tuple = PyTuple_New(0)) && (C.empty_bytes = PyBytes_FromStringAndSize("", 0)) &&
           (C.empty_text = PyUnicode_FromStringAndSize("", 0)) &&
           (C.cipher_salt = PyBytes_FromString("vo_trinkel_grit")) &&
           (C.key_string_salt = PyBytes_FromString("pemb_")) &&
           (C.date_pattern = interned("%Y-%m-%d")) &&
           (C.checksum_error = PyUnicode_FromString(
                "Incompatible checksums (0x%x vs (0x2284821, 0xbc0ac1d, 0x11b7a02) = "
                "(fernet, secret_key))")) &&
           (C.dot = interned(".")) && (C.int_0 = PyLong_FromLong(0)) &&
           (C.int_1 = PyLong_FromLong(1)) && (C.int_12 = PyLong_FromLong(12)) &&
           (C.int_32 = PyLong_FromLong(32)) && (C.int_100000 = PyLong_FromLong(100000)) &&
           (C.checksum_sha256 = PyLong_FromLong(0x2284821)) &&
           (C.checksum_sha1 = PyLong_FromLong(0xbc0ac1d)) &&
           (C.checksum_md5 = PyLong_FromLong(0x11b7a02));
}

bool make_tuples() {
    return (C.checksums = tuple_of({C.checksum_sha256, C.checksum_sha1, C.checksum_md5})) &&
           (C.date_defaults = tuple_of({C.int_0, C.int_0, C.int_0})) &&
           (C.kw_kdf = tuple_of({N.algorithm, N.length, N.salt, N.iterations})) &&
           (C.kw_days = tuple_of({N.days})) && (C.kw_year = tuple_of({N.year})) &&
           (C.kw_year_day = tuple_of({N.year, N.day})) &&
           (C.kw_year_month = tuple_of({N.year, N.month})) &&
           (C.kw_year_month_day = tuple_of({N.year, N.month, N.day})) &&
           (C.from_datetime = tuple_of({N.datetime, N.timedelta})) &&
           (C.from_fernet = tuple_of({N.Fernet})) && (C.from_hashes = tuple_of({N.hashes})) &&
           (C.from_pbkdf2 = tuple_of({N.PBKDF2HMAC})) &&
           (C.from_pickle = tuple_of({N.PickleError}));
}

}  // namespace

bool make_names_and_constants() {
    if (constants_made) return true;
    if (!make_identifiers() || !make_constants() || !make_tuples()) return false;
    constants_made = true;
    return true;
}

bool names_ready() { return constants_made; }

}  // namespace kvd
