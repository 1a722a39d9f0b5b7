// Builds traceback entries from cached PyCode_NewEmpty code objects and fresh frames.
#include "traceback.hpp"

#include "names.hpp"

#include <map>
#include <string>
#include <utility>

namespace kvd {
namespace {

std::string dotted_name(const Site& at) {
    switch (at.scope) {
    case Scope::method: return std::string("kelvaro_duneth.kv_duneth.kv_duneth.") + at.name;
    case Scope::function: return std::string("kelvaro_duneth.kv_duneth.") + at.name;
    case Scope::init: break;
    }
    return "init kelvaro_duneth.kv_duneth";
}

// One code object per (routine, line), made on first use and kept for the process, like the
// module; they are never released, so a borrowed pointer to one stays good.
PyObject* code_for(const Site& at, int line) {
    using Site = std::pair<const Site*, int>;
    static auto& cache = *new std::map<Site, PyObject*>;  // never destroyed, like its objects
    static compat::Mutex cache_mutex;
    const Site site{&at, line};
    {
        compat::Locked locked(cache_mutex);
        auto found = cache.find(site);
        if (found != cache.end()) return found->second;
    }
    Ref made = Ref::steal(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(at.file, dotted_name(at).c_str(), line)));
    if (!made) return nullptr;
    // Making it may run the collector, and a finaliser may have failed at this same site.
    compat::Locked locked(cache_mutex);
    auto [entry, inserted] = cache.emplace(site, made.get());
    if (inserted) (void)made.release();  // the cache keeps it for the process
    return entry->second;
}

// Each entry gets a frame of its own, as each failure of a Python function does: what one
// handler writes into its frame's locals is never seen by another. The line of a fresh frame is
// its code's first line on every CPython from 3.7 on, so the wanted line goes into
// co_firstlineno and the frame's own line is never touched.
//
// The frame's globals are the module namespace, held here. Its __builtins__ is held too:
// PyFrame_New (3.11 to 3.13) reads that value without a reference and takes one only after it
// has allocated the frame's function, and Python code run in between (a gc callback, the __eq__
// of a namespace key whose hash collides with '__name__') may replace it.
Ref frame_for(const Site& at, int line) {
    PyObject* code = code_for(at, line);
    Ref globals = module_namespace();
    if (!globals) globals = Ref::steal(PyDict_New());
    if (!code || !globals) return {};
    Ref builtins;
    if (!dict_item(globals.get(), names.builtins_, builtins)) return {};
    return Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals.get(), nullptr)));
}

}  // namespace

void add_traceback(const Site& at, int line) noexcept {
    // Making the code object may run the filesystem decoder: never with an exception set.
    compat::PendingError pending;
    pending.fetch();
    Ref frame = frame_for(at, line);
    if (!frame) PyErr_Clear();  // keep the original error; the entry is lost, never the exception
    pending.restore();
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace kvd
