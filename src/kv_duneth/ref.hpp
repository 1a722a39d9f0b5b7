// The owning reference handle used for every new reference the module holds.
#pragma once

#include "compat.hpp"

#include <initializer_list>
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

// A new reference to `o` (or null), for a field or a slot's result: CPython's Py_XNewRef, which
// 3.10 introduced.
[[nodiscard]] inline PyObject* new_ref(PyObject* o) noexcept {
    Py_XINCREF(o);
    return o;
}

// A new tuple of the items, each with a reference of its own. The items must be owned by the
// caller: making the tuple may run Python code.
inline Ref tuple_of(std::initializer_list<PyObject*> items) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return tuple;
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(tuple.get(), i++, new_ref(item));
    return tuple;
}

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
