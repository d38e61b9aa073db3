#include "module/constants.h"

#include <cassert>
#include <span>

#include "core/name_table.h"
#include "core/names.h"
#include "core/owned_state.h"
#include "enums/enum_base.h"
#include "enums/enum_state.h"
#include "module/module_state.h"
#include "runtime/bindings.h"
#include "runtime/compat.h"
#include "runtime/lookups.h"
#include "runtime/ref.h"

namespace qx {

namespace {

// Makes a constant of a room's state once per owning interpreter: a slot that
// an earlier attempt filled is kept, so a failure never leaves a used slot
// empty; one filled by a forgotten interpreter is made anew.
template <typename Make>
bool Once(PyObject** slot, Make make) noexcept {
  if (*slot != nullptr && !IsForgotten(slot)) return true;
  PyObject* made = make();
  if (made == nullptr) return false;
  ReplaceOwned(slot, made);
  return true;
}

PyObject* NewCode(int argcount, int nlocals, PyObject* varnames, PyObject* name, int firstlineno) noexcept {
  PyObject* e = g_common.empty_tuple;
  PyObject* b = g_common.empty_bytes;
  return reinterpret_cast<PyObject*>(compat::NewCode(argcount, nlocals, CO_OPTIMIZED | CO_NEWLOCALS, b, e, e,
                                                     varnames, e, e, g_names.enumsupport, name, name,
                                                     firstlineno, b, b));
}

// The code object of a fallback-class method, from its row.
PyObject* NewMethodCode(const FallbackMethod& method) noexcept {
  const NameObjects& n = g_names;
  Ref varnames = Ref::steal(PyTuple_New(method.nlocals));
  if (!varnames) return nullptr;
  for (int i = 0; i < method.nlocals; ++i) {
    PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(n.*method.varnames[i]));
  }
  return NewCode(method.argcount, method.nlocals, varnames.get(), n.*method.name, method.source_line);
}

PyObject* NewNoneDefaults(int count) noexcept {
  PyObject* defaults = PyTuple_New(count);
  if (defaults == nullptr) return nullptr;
  for (int i = 0; i < count; ++i) PyTuple_SET_ITEM(defaults, i, Py_NewRef(Py_None));
  return defaults;
}

}  // namespace

int CreateGlobalConstants() noexcept {
  if (CreateNameObjects() < 0 ||
      !Once(&g_enums.checksum_int, [] { return PyLong_FromLong(kPickleChecksum); }) ||
      !Once(&g_module.module_name_text, [] { return PyUnicode_InternFromString(kModuleDottedName); })) {
    return -1;
  }
  return 0;
}

int CacheBuiltins() noexcept {
  // Looked up on every attempt (it is this interpreter's builtin), but a
  // failed lookup keeps the one found before.
  PyObject* value_error = GetAttrByStr(g_bindings.builtins_module, g_names.ValueError);
  if (value_error == nullptr) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", g_names.ValueError);
    return -1;
  }
  ReplaceOwned(&g_enums.builtin_ValueError, value_error);
  return 0;
}

int CreateCachedConstants() noexcept {
  const std::span<FallbackMethod> methods = EnumBaseMethods();
  for (size_t i = 0; i < methods.size(); ++i) {
    const FallbackMethod& method = methods[i];
    assert(method.nlocals <= kMaxFallbackLocals && method.argcount <= method.nlocals);
    if (!Once(&g_enums.fallback_code[i], [&] { return NewMethodCode(method); })) return -1;
    if (method.none_defaults > 0 &&
        !Once(&g_enums.fallback_defaults[i], [&] { return NewNoneDefaults(method.none_defaults); })) {
      return -1;
    }
  }
  return 0;
}

void ResetModuleVariables() noexcept {
  ReplaceOwned(&g_enums.ordered_dict_class, Py_NewRef(Py_None));
  ReplaceOwned(&g_module.enum_base_class, Py_NewRef(Py_None));
  ReplaceOwned(&g_module.globals_dict, Py_NewRef(Py_None));
}

}  // namespace qx
