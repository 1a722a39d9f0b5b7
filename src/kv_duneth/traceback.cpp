// Builds traceback entries from cached PyCode_NewEmpty code objects and fresh frames.
#include "traceback.hpp"

#include "names.hpp"

#include <map>
#include <tuple>

namespace kvd {
namespace {

using Site = std::tuple<const void*, const void*, int>;

// Code objects by (function, file, line); they live as long as the process, like the module.
std::map<Site, PyObject*>& code_cache() {
    static std::map<Site, PyObject*> cache;
    return cache;
}

// The line of a fresh frame is its code's first line on every CPython from 3.7 to 3.13, so the
// wanted line goes into co_firstlineno and the frame's own line is never touched.
PyObject* code_for(const char* function, const char* file, int line) {
    auto& cache = code_cache();
    Site site{function, file, line};
    auto it = cache.find(site);
    if (it != cache.end()) return it->second;
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, function, line));
    if (code) cache.emplace(site, code);
    return code;
}

}  // namespace

void add_traceback(const char* function, const char* file, int line) noexcept {
    // Making the code object may run the filesystem decoder: never with an exception set.
    compat::PendingError pending;
    pending.fetch();
    PyObject* code = code_for(function, file, line);
    Ref globals = S.dict ? Ref::borrow(S.dict) : Ref::steal(PyDict_New());
    Ref frame;
    if (code && globals)
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals.get(), nullptr)));
    if (!frame) {  // keep the original error; the entry is lost, never the exception
        PyErr_Clear();
        pending.restore();
        return;
    }
    pending.restore();
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace kvd
