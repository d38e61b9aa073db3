#include "module/constants.h"

#include "core/module_state.h"
#include "core/names.h"
#include "runtime/compat.h"
#include "runtime/lookups.h"

namespace qx {

namespace {

// Makes a constant of ModuleState once per owning interpreter: a slot that
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
  PyObject* e = g_state.empty_tuple;
  PyObject* b = g_state.empty_bytes;
  return reinterpret_cast<PyObject*>(compat::NewCode(argcount, nlocals, CO_OPTIMIZED | CO_NEWLOCALS, b, e, e,
                                                     varnames, e, e, g_state.names.enumsupport, name, name,
                                                     firstlineno, b, b));
}

}  // namespace

int CreateGlobalConstants() noexcept {
  if (CreateNameObjects() < 0 ||
      !Once(&g_state.checksum_int, [] { return PyLong_FromLong(kPickleChecksum); }) ||
      !Once(&g_state.module_name_text, [] { return PyUnicode_InternFromString(kModuleDottedName); }) ||
      !Once(&g_state.module_keyword, [] { return PyUnicode_InternFromString("module"); })) {
    return -1;
  }
  return 0;
}

int CacheBuiltins() noexcept {
  // Looked up on every attempt (it is this interpreter's builtin), but a
  // failed lookup keeps the one found before.
  PyObject* value_error = GetAttrByStr(g_state.builtins_module, g_state.names.ValueError);
  if (value_error == nullptr) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", g_state.names.ValueError);
    return -1;
  }
  ReplaceOwned(&g_state.builtin_ValueError, value_error);
  return 0;
}

int CreateCachedConstants() noexcept {
  if (!Once(&g_state.new_arg_names,
            [] {
              return PyTuple_Pack(5, g_state.names.cls, g_state.names.value, g_state.names.name,
                                  g_state.names.v, g_state.names.res);
            }) ||
      !Once(&g_state.new_code,
            [] { return NewCode(3, 5, g_state.new_arg_names, g_state.names.dunder_new, 28); }) ||
      !Once(&g_state.new_defaults, [] { return PyTuple_Pack(1, Py_None); }) ||
      !Once(&g_state.repr_arg_names, [] { return PyTuple_Pack(1, g_state.names.self); }) ||
      !Once(&g_state.repr_code,
            [] { return NewCode(1, 1, g_state.repr_arg_names, g_state.names.dunder_repr, 39); }) ||
      !Once(&g_state.str_arg_names, [] { return PyTuple_Pack(1, g_state.names.self); }) ||
      !Once(&g_state.str_code,
            [] { return NewCode(1, 1, g_state.str_arg_names, g_state.names.dunder_str, 41); })) {
    return -1;
  }
  return 0;
}

void ResetModuleVariables() noexcept {
  ReplaceOwned(&g_state.ordered_dict_class, Py_NewRef(Py_None));
  ReplaceOwned(&g_state.enum_base_class, Py_NewRef(Py_None));
  ReplaceOwned(&g_state.globals_dict, Py_NewRef(Py_None));
}

}  // namespace qx
