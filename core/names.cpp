#include "core/names.h"

#include "core/owned_state.h"

namespace qx {

NameObjects g_names;
CommonObjects g_common;

namespace {
OwnedBlock<NameObjects> g_names_block(&g_names);
OwnedBlock<CommonObjects> g_common_block(&g_common);
}  // namespace

const NameTableRow kNameTable[] = {
#define QX_NAME_ROW(field, text, interned) {&g_names.field, text, sizeof(text), interned},
    QX_NAME_TABLE(QX_NAME_ROW)
#undef QX_NAME_ROW
    // Each row above ends in its own comma, which clang-format cannot see.
    // clang-format off
    {nullptr, nullptr, 0, 0},
    // clang-format on
};

static_assert(sizeof(kNameTable) / sizeof(kNameTable[0]) == kNameTableRows + 1,
              "one row per name and a terminator");

int CreateNameObjects() noexcept {
  for (const NameTableRow* row = kNameTable; row->target != nullptr; ++row) {
    if (*row->target != nullptr && !IsForgotten(row->target)) continue;  // made by an earlier attempt
    PyObject* obj = row->intern_flag ? PyUnicode_InternFromString(row->text)
                                     : PyUnicode_FromStringAndSize(row->text, row->size - 1);
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
