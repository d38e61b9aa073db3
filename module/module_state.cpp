#include "module/module_state.h"

#include "runtime/lookups.h"
#include "runtime/ref.h"

namespace qx {

ModuleState g_state;

const char* const kFileNameTable[2] = {"enumsupport", "quendrix\\core\\enums\\weekdays"};

const StringTabEntry kStringTab[] = {
#define QX_NAME_ROW(field, text, interned) \
  {&g_state.names.field, text, sizeof(text), nullptr, 0, 1, interned},
    QX_NAME_TABLE(QX_NAME_ROW)
#undef QX_NAME_ROW
    // Each row above ends in its own comma, which clang-format cannot see.
    // clang-format off
    {nullptr, nullptr, 0, nullptr, 0, 0, 0},
    // clang-format on
};

static_assert(sizeof(kStringTab) / sizeof(kStringTab[0]) == kNameTableRows + 1,
              "the name table has 65 rows and a terminator");

int CreateNameObjects() noexcept {
  for (const StringTabEntry* row = kStringTab; row->target != nullptr; ++row) {
    PyObject* obj;
    if (!row->str_flag && !row->unicode_flag) {
      obj = PyBytes_FromStringAndSize(row->text, row->size - 1);
    } else if (row->intern_flag) {
      obj = PyUnicode_InternFromString(row->text);
    } else if (row->codec != nullptr) {
      obj = PyUnicode_Decode(row->text, row->size - 1, row->codec, nullptr);
    } else {
      obj = PyUnicode_FromStringAndSize(row->text, row->size - 1);
    }
    // A retried import replaces what an earlier attempt left in the slot.
    Py_XSETREF(*row->target, obj);
    if (obj == nullptr) return -1;
    // Cache the hash now: dictionary probes with a known hash rely on it.
    if (PyObject_Hash(obj) == -1) return -1;
  }
  return 0;
}

namespace {

// Stores a new object in a slot of ModuleState, releasing what a failed
// earlier import may have left there. Returns false when obj is null.
bool Store(PyObject** slot, PyObject* obj) noexcept {
  Py_XSETREF(*slot, obj);
  return obj != nullptr;
}

PyObject* NewCode(int argcount, int nlocals, PyObject* varnames, PyObject* name, int firstlineno) noexcept {
  PyObject* e = g_state.empty_tuple;
  PyObject* b = g_state.empty_bytes;
  return reinterpret_cast<PyObject*>(PyCode_New(argcount, 0, nlocals, 0, CO_OPTIMIZED | CO_NEWLOCALS, b, e, e,
                                                varnames, e, e, g_state.names.enumsupport, name, name,
                                                firstlineno, b, b));
}

}  // namespace

int CreateGlobalConstants() noexcept {
  if (CreateNameObjects() < 0 || !Store(&g_state.checksum_int, PyLong_FromLong(kPickleChecksum)) ||
      !Store(&g_state.module_name_text, PyUnicode_InternFromString(kModuleDottedName)) ||
      !Store(&g_state.module_keyword, PyUnicode_InternFromString("module"))) {
    SetErrorPosition(kDefinitionFile, 1, 0);
    return -1;
  }
  return 0;
}

int CacheBuiltins() noexcept {
  PyObject* value_error = GetAttrByStr(g_state.builtins_module, g_state.names.ValueError);
  if (value_error == nullptr) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", g_state.names.ValueError);
  }
  if (!Store(&g_state.builtin_ValueError, value_error)) {
    SetErrorPosition(kEnumSupportFile, 33, 0);
    return -1;
  }
  return 0;
}

int CreateCachedConstants() noexcept {
  NameObjects& n = g_state.names;
  auto fail = [](int line) noexcept {
    SetErrorPosition(kEnumSupportFile, line, 0);
    return -1;
  };
  if (!Store(&g_state.new_arg_names, PyTuple_Pack(5, n.cls, n.value, n.name, n.v, n.res)) ||
      !Store(&g_state.new_code, NewCode(3, 5, g_state.new_arg_names, n.dunder_new, 28)) ||
      !Store(&g_state.new_defaults, PyTuple_Pack(1, Py_None))) {
    return fail(28);
  }
  if (!Store(&g_state.repr_arg_names, PyTuple_Pack(1, n.self)) ||
      !Store(&g_state.repr_code, NewCode(1, 1, g_state.repr_arg_names, n.dunder_repr, 39))) {
    return fail(39);
  }
  if (!Store(&g_state.str_arg_names, PyTuple_Pack(1, n.self)) ||
      !Store(&g_state.str_code, NewCode(1, 1, g_state.str_arg_names, n.dunder_str, 41))) {
    return fail(41);
  }
  return 0;
}

void ResetModuleVariables() noexcept {
  Py_INCREF(Py_None);
  Py_XSETREF(g_state.ordered_dict_class, Py_None);
  Py_INCREF(Py_None);
  Py_XSETREF(g_state.enum_base_class, Py_None);
  Py_INCREF(Py_None);
  Py_XSETREF(g_state.globals_dict, Py_None);
}

}  // namespace qx
