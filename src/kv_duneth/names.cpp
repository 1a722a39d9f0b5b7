// Makes the interned identifiers and shared constants once per process.
#include "names.hpp"

namespace kvd {

Names names;
Constants constants;
ModuleState module_state;

namespace {

bool constants_made = false;

PyObject* interned(const char* text) { return PyUnicode_InternFromString(text); }

bool make_identifiers() {
#define KVD_MAKE(field, text) \
    if (!(names.field = interned(text))) return false;
    KVD_IDENTIFIERS(KVD_MAKE)
#undef KVD_MAKE
    return true;
}

// Constants live for the process: their references are never released.
PyObject* constant_tuple(std::initializer_list<PyObject*> items) { return tuple_of(items).release(); }

bool make_constants() {
    return (constants.empty_tuple = PyTuple_New(0)) &&
           (constants.cipher_salt = PyBytes_FromString("vo_trinkel_grit")) &&
           (constants.key_string_salt = PyBytes_FromString("pemb_")) &&
           (constants.date_pattern = interned("%Y-%m-%d")) &&
           (constants.checksum_error = PyUnicode_FromString(
                "Incompatible checksums (0x%x vs (0x2284821, 0xbc0ac1d, 0x11b7a02) = "
                "(fernet, secret_key))")) &&
           (constants.int_0 = PyLong_FromLong(0)) &&
           (constants.int_1 = PyLong_FromLong(1)) && (constants.int_12 = PyLong_FromLong(12)) &&
           (constants.int_32 = PyLong_FromLong(32)) && (constants.int_100000 = PyLong_FromLong(100000)) &&
           (constants.checksum_sha256 = PyLong_FromLong(0x2284821)) &&
           (constants.checksum_sha1 = PyLong_FromLong(0xbc0ac1d)) &&
           (constants.checksum_md5 = PyLong_FromLong(0x11b7a02));
}

bool make_tuples() {
    return (constants.checksums = constant_tuple({constants.checksum_sha256, constants.checksum_sha1, constants.checksum_md5})) &&
           (constants.date_defaults = constant_tuple({constants.int_0, constants.int_0, constants.int_0})) &&
           (constants.kw_kdf = constant_tuple({names.algorithm, names.length, names.salt, names.iterations})) &&
           (constants.kw_days = constant_tuple({names.days})) && (constants.kw_year = constant_tuple({names.year})) &&
           (constants.kw_year_day = constant_tuple({names.year, names.day})) &&
           (constants.kw_year_month = constant_tuple({names.year, names.month})) &&
           (constants.kw_year_month_day = constant_tuple({names.year, names.month, names.day})) &&
           (constants.from_datetime = constant_tuple({names.datetime, names.timedelta})) &&
           (constants.from_fernet = constant_tuple({names.Fernet})) && (constants.from_hashes = constant_tuple({names.hashes})) &&
           (constants.from_pbkdf2 = constant_tuple({names.PBKDF2HMAC})) &&
           (constants.from_pickle = constant_tuple({names.PickleError}));
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
