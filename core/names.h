// What every room reads: the name table's objects (one str per row of
// core/name_table.h) and the two empty constants, with the rows that make
// the names at initialisation.
#pragma once

#include <Python.h>

#include "core/name_table.h"

namespace qx {

// One slot per row of the name table, each an owned str. Written only by
// CreateNameObjects (the sequence, holding g_init_claim), made once per
// owning interpreter and never replaced after: read as it is.
extern NameObjects g_names;

// The empty tuple and bytes that calls and code objects share. Written only
// by the sequence (module/init.cpp), made once per owning interpreter: read
// as it is.
struct CommonObjects {
  PyObject* empty_tuple;
  PyObject* empty_bytes;
};

extern CommonObjects g_common;

// One row of the name table (the table ends with a row whose target is null).
// Every row makes a str, interned where intern_flag says so.
struct NameTableRow {
  PyObject** target;
  const char* text;
  Py_ssize_t size;  // strlen(text) + 1
  char intern_flag;
};

// The table itself, terminated by a null-target row (kNameTableRows + 1 rows).
extern const NameTableRow kNameTable[];

// Makes every name of the table that an earlier, failed attempt left unset;
// 0, or -1 with an exception.
int CreateNameObjects() noexcept;

}  // namespace qx
