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

// An object's class, held while an error text is formatted from its name: formatting allocates,
// and Python code run there may re-class the object and free its old class.
class TypeOf {
public:
    explicit TypeOf(PyObject* o) noexcept
        : type_(Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(o)))) {}
    const char* name() const noexcept {
        return reinterpret_cast<PyTypeObject*>(type_.get())->tp_name;
    }

private:
    Ref type_;
};

// dict[key] as an owned reference; `out` stays empty when the key is absent. False, with an
// error set, when the look-up itself failed (a key's __eq__ may raise).
inline bool dict_item(PyObject* dict, PyObject* key, Ref& out) noexcept {
    PyObject* value = nullptr;
    const int found = compat::dict_get_item_ref(dict, key, &value);
    out = Ref::steal(value);
    return found >= 0;
}

}  // namespace kvd
