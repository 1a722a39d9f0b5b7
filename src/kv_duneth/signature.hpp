// What the module knows about each of its callables, as one table row, and about the sites of
// its traceback entries.
#pragma once

#include "names.hpp"

namespace kvd {

// Frozen contract. Callers, tracebacks read by tools and pickles stored long ago depend on these,
// so none of them may change with the implementation:
//  - every error text (binding, type tests, integer conversion, state loading, import);
//  - the names: the module's namespace names, the class's method names, the pickling names
//    __reduce_cython__, __setstate_cython__, __pyx_unpickle_kv_duneth (a pickle refers to the
//    function by name) and the operations-table capsule __pyx_vtable__;
//  - the pickling checksums 0x2284821, 0xbc0ac1d and 0x11b7a02 and the state's member order;
//  - the traceback entries: dotted function names, the files "kelvaro_duneth/kv_duneth" and
//    "<stringsource>", and every first line and body line given in the method rows below;
//  - the __doc__ of the module, the class and every method: None (users read kv_duneth.pyi);
//  - the key derivation's salts, iterations and length: other ones make every token unreadable.

enum class Kind : unsigned char {
    any,    // any object, untested
    text,   // exactly str, or None
    bytes,  // exactly bytes, or None
    int32,  // converted to a signed 32-bit integer during binding
    int64,  // converted to a signed 64-bit integer during binding
};

struct Param {
    PyObject* Names::*name = nullptr;  // its interned name in `names`
    Kind kind = Kind::any;
};

// Whose traceback entries: a method of the class is "kelvaro_duneth.kv_duneth.kv_duneth.<name>",
// a module-level routine "kelvaro_duneth.kv_duneth.<name>", module execution
// "init kelvaro_duneth.kv_duneth".
enum class Scope : unsigned char { method, function, init };

inline constexpr const char* source_path = "kelvaro_duneth/kv_duneth";
inline constexpr const char* string_source = "<stringsource>";

constexpr int max_params = 3;
constexpr int max_locals = 6;

// Where a routine's traceback entries point: the function they name and its file.
struct Site {
    const char* name;                       // bare name, dotted by `scope` in the entries
    const char* file = source_path;
    Scope scope = Scope::method;
};

// A callable of the module: its site (its bare name is also that of every binding error text
// and of __name__), how it binds, and what its __code__ shows.
struct Signature {
    Site site;
    int first_line = 0;                     // of __code__ and of argument-binding failures
    Param params[max_params] = {};          // after the object; the first without a name ends
    bool defaults_zero = false;             // every parameter defaults to 0 (generate_end_date)
    const char* locals[max_locals] = {};    // local names after the parameters, for __code__

    constexpr Py_ssize_t count() const {
        Py_ssize_t n = 0;
        while (n < max_params && params[n].name) ++n;
        return n;
    }
};

}  // namespace kvd
