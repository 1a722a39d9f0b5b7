// Import helpers shared by module execution and unpickling.
#pragma once

#include "ref.hpp"

namespace kvd {

// An absolute import with the module namespace as globals and a fresh dict as locals.
Ref import_module(PyObject* name, PyObject* fromlist) noexcept;
// A from-list name: the attribute, else the submodule in sys.modules, else
// ImportError "cannot import name %S".
Ref import_from(PyObject* module, PyObject* name) noexcept;
// raise obj: an exception instance is raised as itself.
void raise_object(PyObject* obj) noexcept;

}  // namespace kvd
