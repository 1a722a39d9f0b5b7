// Builds traceback entries from cached PyCode_NewEmpty code objects and their frames.
#include "traceback.hpp"

#include "names.hpp"

#include <map>
#include <tuple>

namespace kvd {
namespace {

using Site = std::tuple<const void*, const void*, int>;

struct SiteObjects {
    PyObject* code = nullptr;   // made once per site
    PyObject* frame = nullptr;  // kept only where frames are reusable
};

// Per (function, file, line); the objects live as long as the process, like the module.
SiteObjects& site_objects(const char* function, const char* file, int line) {
    static auto& cache = *new std::map<Site, SiteObjects>;  // never destroyed, like its objects
    return cache[Site{function, file, line}];
}

// The line of a fresh frame is its code's first line on every CPython from 3.7 to 3.13, so the
// wanted line goes into co_firstlineno and the frame's own line is never touched.
Ref frame_for(const char* function, const char* file, int line) {
    SiteObjects& site = site_objects(function, file, line);
    if (site.frame) return Ref::borrow(site.frame);
    // Allocating may run the collector, and a finaliser may get here on another thread:
    // whoever stores first wins, and the other object is simply dropped.
    if (!site.code) {
        PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, function, line));
        if (site.code) Py_XDECREF(code);
        else site.code = code;
    }
    Ref globals = S.dict ? Ref::borrow(S.dict) : Ref::steal(PyDict_New());
    if (!site.code || !globals) return {};
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(site.code), globals.get(), nullptr)));
    if (frame && compat::reusable_frames && S.loaded && !site.frame)
        site.frame = frame.dup().release();
    return frame;
}

}  // namespace

void add_traceback(const char* function, const char* file, int line) noexcept {
    // Making the code object may run the filesystem decoder: never with an exception set.
    compat::PendingError pending;
    pending.fetch();
    Ref frame = frame_for(function, file, line);
    if (!frame) PyErr_Clear();  // keep the original error; the entry is lost, never the exception
    pending.restore();
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace kvd
