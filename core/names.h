// The rows that make the name table's objects at initialisation, one str
// object per slot of ModuleState::names.
#pragma once

#include <Python.h>

#include "core/name_table.h"

namespace qx {

// One row of the name table (the table ends with a row whose target is null).
// Every row makes a str, interned where intern_flag says so.
struct StringTabEntry {
  PyObject** target;
  const char* text;
  Py_ssize_t size;  // strlen(text) + 1
  char intern_flag;
};

// The table itself, terminated by a null-target row (kNameTableRows + 1 rows).
extern const StringTabEntry kStringTab[];

// Makes every name of the table that an earlier, failed attempt left unset;
// 0, or -1 with an exception.
int CreateNameObjects() noexcept;

}  // namespace qx
