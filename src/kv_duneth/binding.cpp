// Binds arguments by the module's one convention and raises its exact TypeError texts.
#include "binding.hpp"

#include "traceback.hpp"

#include <climits>
#include <map>
#include <utility>

namespace kvd {
namespace {

// Index of `wanted` among the `n` names that name_at(i) gives, or -1: by pointer first, as
// CPython passes interned names, then by value; a name that is not a str matches nothing.
template <class NameAt>
Py_ssize_t match_name(Py_ssize_t n, NameAt name_at, PyObject* wanted) {
    for (Py_ssize_t i = 0; i < n; ++i)
        if (name_at(i) == wanted) return i;
    if (!PyUnicode_Check(wanted)) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = name_at(i);
        if (PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) == PyUnicode_GET_LENGTH(wanted) &&
            PyUnicode_Compare(name, wanted) == 0)
            return i;
    }
    return -1;
}

// Keywords of a vectorcall: names in a tuple, values after the positional arguments. The caller
// owns both for the whole call.
struct KwTuple {
    PyObject* names;
    PyObject* const* values;
    Py_ssize_t size() const { return names ? PyTuple_GET_SIZE(names) : 0; }
    PyObject* name_at(Py_ssize_t i) const { return PyTuple_GET_ITEM(names, i); }
    PyObject* value_at(Py_ssize_t i) const { return values[i]; }
    PyObject* find(PyObject* name, Py_ssize_t) const {
        const Py_ssize_t i = match_name(size(), [this](Py_ssize_t k) { return name_at(k); }, name);
        return i < 0 ? nullptr : values[i];
    }
};

// Keywords of a tuple-and-dict call: a value found goes into the HeldBound's keep.
struct KwDict {
    PyObject* dict;
    Ref* keep;
    Py_ssize_t size() const { return dict ? PyDict_GET_SIZE(dict) : 0; }
    PyObject* find(PyObject* name, Py_ssize_t index) const {
        dict_item(dict, name, keep[index]);
        return keep[index].get();
    }
};

Ref argcount_message(const Signature& sig, Py_ssize_t given) {
    const Py_ssize_t expected = sig.count();
    return Ref::steal(PyUnicode_FromFormat(
        "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.site.name,
        sig.defaults_zero ? "at most" : "exactly", expected, expected == 1 ? "" : "s", given));
}

// Formatting is most of the cost of this error, and a caller that gets it wrong in a loop
// gets the same few texts: keep the ones for small counts.
bool argcount_error(const Signature& sig, Py_ssize_t given) {
    constexpr Py_ssize_t cached_counts = 8;
    // Never destroyed: the texts live as long as the process, reachable to the end.
    static auto& texts = *new std::map<std::pair<const Signature*, Py_ssize_t>, PyObject*>;
    static compat::Mutex texts_mutex;
    Ref text;
    if (given < cached_counts) {
        {
            compat::Locked locked(texts_mutex);
            auto found = texts.find({&sig, given});
            if (found != texts.end()) text = Ref::borrow(found->second);
        }
        if (!text) {
            text = argcount_message(sig, given);
            // Formatting may have run Python code that raised this same error first.
            compat::Locked locked(texts_mutex);
            if (text && texts.emplace(std::make_pair(&sig, given), text.get()).second)
                Py_INCREF(text.get());
        }
    } else {
        text = argcount_message(sig, given);
    }
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
    return false;
}

// `borrowed_key` is a str: check_keyword has refused any other.
bool unexpected_keyword(const char* name, PyObject* borrowed_key) {
    Ref key = Ref::borrow(borrowed_key);  // formatting allocates: the key must outlive it
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key.get());
    return false;
}

// Index of the parameter called `key`, or -1.
Py_ssize_t param_index(const Signature& sig, PyObject* key) {
    return match_name(sig.count(), [&sig](Py_ssize_t i) { return names.*sig.params[i].name; }, key);
}

// The keywords left after the parameters took theirs: the first one in call order that names
// no free parameter decides the error.
bool check_keyword(const Signature& sig, Py_ssize_t nargs, PyObject* key, PyObject* value,
                   Bound& out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.site.name);
        return false;
    }
    Py_ssize_t i = param_index(sig, key);
    if (i >= nargs) {
        out.arg[i] = value;
        return true;
    }
    if (i >= 0) {
        Ref held = Ref::borrow(key);
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     sig.site.name, held.get());
        return false;
    }
    return unexpected_keyword(sig.site.name, key);
}

bool check_leftovers(const Signature& sig, Py_ssize_t nargs, const KwTuple& kw, Bound& out) {
    for (Py_ssize_t i = 0, n = kw.size(); i < n; ++i)
        if (!check_keyword(sig, nargs, kw.name_at(i), kw.value_at(i), out)) return false;
    return true;
}

bool check_leftovers(const Signature& sig, Py_ssize_t nargs, const KwDict& kw, Bound& out) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kw.dict, &pos, &key, &value))
        if (!check_keyword(sig, nargs, key, value, out)) return false;
    return true;
}

template <class Kw>
bool bind_arguments(const Signature& sig, PyObject* const* pos, Py_ssize_t nargs, const Kw& kw,
                    Bound& out) {
    if (nargs > sig.count()) return argcount_error(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out.arg[i] = pos[i];
    Py_ssize_t left = kw.size();
    if (left == 0) {
        if (nargs < sig.count() && !sig.defaults_zero) return argcount_error(sig, nargs);
        return true;
    }
    for (Py_ssize_t i = nargs; i < sig.count(); ++i) {
        PyObject* value = kw.find(names.*sig.params[i].name, i);
        if (value) {
            out.arg[i] = value;
            --left;
        } else if (PyErr_Occurred()) {
            return false;
        } else if (!sig.defaults_zero) {
            return argcount_error(sig, i);
        }
    }
    return left == 0 || check_leftovers(sig, nargs, kw, out);
}

template <class Kw>
bool bind_call(const Signature& sig, PyObject* const* pos, Py_ssize_t nargs, const Kw& kw,
               Bound& out) {
    if (!bind_arguments(sig, pos, nargs, kw, out) || !convert_integers(sig, out)) {
        add_binding_traceback(sig);
        return false;
    }
    return check_types(sig, out);
}

// nb_int of the value's type, with the result checks of int(); "an integer is required" without.
Ref integer_of(PyObject* value) {
    PyNumberMethods* m = Py_TYPE(value)->tp_as_number;
    Ref result;
    if (m && m->nb_int) result = Ref::steal(m->nb_int(value));
    if (!result) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return {};
    }
    if (PyLong_CheckExact(result.get())) return result;
    const TypeOf type(result.get());
    if (!PyLong_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                     type.name());
        return {};
    }
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an "
                         "instance of a strict subclass of int is deprecated, and may be "
                         "removed in a future version of Python.",
                         type.name()))
        return {};
    return result;
}

// An int by value, anything else through integer_of(). A 32-bit parameter refuses what does not
// fit with int()'s own text; beyond 64 bits each width keeps the interpreter's own OverflowError.
bool to_integer(PyObject* value, Kind kind, long long& out) {
    if (!PyLong_Check(value)) {
        Ref converted = integer_of(value);
        return converted && to_integer(converted.get(), kind, out);
    }
    const long long v = kind == Kind::int32 ? PyLong_AsLong(value) : PyLong_AsLongLong(value);
    if (v == -1 && PyErr_Occurred()) return false;
    if (kind == Kind::int32 && (v < INT_MIN || v > INT_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = v;
    return true;
}

// "Argument '%.200s' has incorrect type ..." for a value that is neither the exact type nor None.
bool check_exact_or_none(PyObject* value, PyTypeObject* type, const char* param) {
    if (Py_TYPE(value) == type || value == Py_None) return true;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 type->tp_name, TypeOf(value).name());
    return false;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Bound& out) noexcept {
    return bind_call(sig, args, nargs, KwTuple{kwnames, args + nargs}, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwds, HeldBound& out) noexcept {
    PyObject* const* pos = &PyTuple_GET_ITEM(args, 0);
    return bind_call(sig, pos, PyTuple_GET_SIZE(args), KwDict{kwds, out.keep}, out);
}

bool convert_integers(const Signature& sig, Bound& out) noexcept {
    for (Py_ssize_t i = 0; i < sig.count(); ++i) {
        Kind kind = sig.params[i].kind;
        if (kind != Kind::int32 && kind != Kind::int64) continue;
        PyObject* value = out.arg[i];
        if (!value) continue;  // default 0, already in out.num
        if (!to_integer(value, kind, out.num[i])) return false;
    }
    return true;
}

bool raise_param_type(const Signature& sig, Py_ssize_t index, PyObject* value) noexcept {
    const Kind kind = sig.params[index].kind;
    PyTypeObject* expected = kind == Kind::bytes ? &PyBytes_Type : &PyUnicode_Type;
    PyObject* name = names.*sig.params[index].name;
    return check_exact_or_none(value, expected, PyUnicode_AsUTF8(name));
}

// A method without parameters has nothing to report a binding failure against.
void add_binding_traceback(const Signature& sig) noexcept {
    if (sig.count() > 0) add_traceback(sig.site, sig.first_line);
}

void raise_none_attribute(const char* attr) noexcept {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", attr);
}

void raise_unexpected_type(const char* expected, PyObject* value) noexcept {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, TypeOf(value).name());
}

}  // namespace kvd
