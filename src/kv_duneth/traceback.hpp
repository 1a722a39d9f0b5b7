// Traceback entries that name a function, a source path and a line, as a Python frame would.
#pragma once

#include "signature.hpp"

namespace kvd {

// Add one entry for `at`, failing at `line`, to the pending exception's traceback.
void add_traceback(const Site& at, int line) noexcept;

// The usual shape at a failure site: add the entry and hand back the null result.
inline PyObject* fail_at(const Site& at, int line) noexcept {
    add_traceback(at, line);
    return nullptr;
}

}  // namespace kvd
