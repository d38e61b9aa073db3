#include "core/names.h"

#include "core/module_state.h"

namespace qx {

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
              "one row per name and a terminator");

int CreateNameObjects() noexcept {
  for (const StringTabEntry* row = kStringTab; row->target != nullptr; ++row) {
    if (*row->target != nullptr && !IsForgotten(row->target)) continue;  // made by an earlier attempt
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
    if (obj == nullptr) return -1;
    // Cache the hash now: dictionary probes with a known hash rely on it.
    if (PyObject_Hash(obj) == -1) {
      Py_DECREF(obj);
      return -1;
    }
    ReplaceOwned(row->target, obj);
  }
  return 0;
}

}  // namespace qx
