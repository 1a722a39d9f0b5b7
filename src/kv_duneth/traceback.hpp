// Traceback entries that name a function, a source path and a line, as a Python frame would.
#pragma once

#include "ref.hpp"

namespace kvd {

// Add one entry to the pending exception's traceback; the code object is made once per entry.
void add_traceback(const char* function, const char* file, int line) noexcept;

// The usual shape at a failure site: add the entry and hand back the null result.
inline PyObject* fail_at(const char* function, const char* file, int line) noexcept {
    add_traceback(function, file, line);
    return nullptr;
}

}  // namespace kvd
