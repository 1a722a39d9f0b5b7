// The owning reference handle used for every new reference the module holds.
#pragma once

#include "compat.hpp"

#include <utility>

namespace kvd {

class Ref {  // owns one strong reference, or nothing
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { Ref r; r.p_ = p; return r; }
    static Ref borrow(PyObject* p) noexcept { Py_XINCREF(p); return steal(p); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        // Store first, release after: the release may run __del__, which may look at us.
        PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    Ref dup() const noexcept { return borrow(p_); }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Replace an owned raw field of an object record: take the new reference, store, then release.
inline void replace_field(PyObject*& field, PyObject* value) noexcept {
    PyObject* old = field;
    Py_INCREF(value);
    field = value;
    Py_XDECREF(old);
}

}  // namespace kvd
