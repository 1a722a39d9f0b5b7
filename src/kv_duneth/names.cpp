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
PyObject* constant_tuple(std::initializer_list<PyObject*> items) {
    return tuple_of(items).release();
}

bool make_constants() {
    Constants& c = constants;
    return (c.empty_tuple = PyTuple_New(0)) &&
           (c.cipher_salt = PyBytes_FromString("vo_trinkel_grit")) &&
           (c.key_string_salt = PyBytes_FromString("pemb_")) &&
           (c.date_pattern = interned("%Y-%m-%d")) &&
           (c.checksum_error = PyUnicode_FromString(
                "Incompatible checksums (0x%x vs (0x2284821, 0xbc0ac1d, 0x11b7a02) = "
                "(fernet, secret_key))")) &&
           (c.int_0 = PyLong_FromLong(0)) && (c.int_1 = PyLong_FromLong(1)) &&
           (c.int_12 = PyLong_FromLong(12)) && (c.int_32 = PyLong_FromLong(32)) &&
           (c.int_100000 = PyLong_FromLong(100000)) &&
           (c.checksum_sha256 = PyLong_FromLong(0x2284821)) &&
           (c.checksum_sha1 = PyLong_FromLong(0xbc0ac1d)) &&
           (c.checksum_md5 = PyLong_FromLong(0x11b7a02));
}

bool make_tuples() {
    Constants& c = constants;
    const Names& n = names;
    return (c.checksums = constant_tuple({c.checksum_sha256, c.checksum_sha1, c.checksum_md5})) &&
           (c.date_defaults = constant_tuple({c.int_0, c.int_0, c.int_0})) &&
           (c.kw_kdf = constant_tuple({n.algorithm, n.length, n.salt, n.iterations})) &&
           (c.kw_days = constant_tuple({n.days})) && (c.kw_year = constant_tuple({n.year})) &&
           (c.kw_year_day = constant_tuple({n.year, n.day})) &&
           (c.kw_year_month = constant_tuple({n.year, n.month})) &&
           (c.kw_year_month_day = constant_tuple({n.year, n.month, n.day})) &&
           (c.from_datetime = constant_tuple({n.datetime, n.timedelta})) &&
           (c.from_fernet = constant_tuple({n.Fernet})) &&
           (c.from_hashes = constant_tuple({n.hashes})) &&
           (c.from_pbkdf2 = constant_tuple({n.PBKDF2HMAC})) &&
           (c.from_pickle = constant_tuple({n.PickleError}));
}

}  // namespace

bool make_names_and_constants() {
    if (constants_made) return true;
    if (!make_identifiers() || !make_constants() || !make_tuples()) return false;
    constants_made = true;
    return true;
}

// Without a GIL the read of a cached pointer and the reference taken are one step under this
// lock, so a replacement in another thread never frees a value between the two. Only reference
// counts change under it, never an allocation.
namespace {
compat::Mutex state_mutex;
}

Ref cached(StateField field) noexcept {
    compat::Locked locked(state_mutex);
    return Ref::borrow(module_state.*field);
}

void cache(StateField field, Ref value) noexcept {
    Ref old;
    compat::Locked locked(state_mutex);
    old = Ref::steal(std::exchange(module_state.*field, value.release()));
}  // `old` goes after the lock: its release may run Python code

}  // namespace kvd
