// Positional and keyword argument unpacking for functions with named
// parameters.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "core/failure.h"
#include "runtime/ref.h"

namespace qx {

// Null-terminated list of pointers to the name table's slots holding the
// interned parameter names.
using ArgNames = PyObject** const*;

// The common shape of every argument-unpacking wrapper: fills values[0..max)
// with owned references (optional slots must hold their default on entry).
// Owned, not borrowed: the probes of the keyword dictionary and the body run
// Python code (key comparisons, __eq__, __int__...) that may remove entries
// from that dictionary, which would free a value the body still uses.
// Returns 0, or -1 with the error set and the failure recorded in *fail at
// the def's line, with the failure point's implementation line
// (missing_impl_lines[i] for a required parameter i >= 1 missing from the
// keywords, kw_impl_line for a keyword error or a failed dictionary probe,
// count_impl_line otherwise).
struct ArgSpec {
  const char* function_name;
  int32_t source_line;  // of the def, in SourceFile::EnumSupport (every such function is there)
  ArgNames names;
  Py_ssize_t num_min;
  Py_ssize_t num_max;                 // at most kMaxParameters
  const int32_t* missing_impl_lines;  // indexed by parameter position
  int32_t kw_impl_line;
  int32_t count_impl_line;
};
inline constexpr Py_ssize_t kMaxParameters = 8;

// An ArgSpec whose parameter count follows its tables: names (null
// terminated) and missing_impl_lines have one entry per parameter.
template <size_t kNames, size_t kLines>
constexpr ArgSpec MakeArgSpec(const char* function_name, int32_t source_line,
                              PyObject** const (&names)[kNames], Py_ssize_t num_min,
                              const int32_t (&missing_impl_lines)[kLines], int32_t kw_impl_line,
                              int32_t count_impl_line) {
  static_assert(kNames == kLines + 1, "one name and one line per parameter, then the null name");
  static_assert(kLines <= kMaxParameters, "raise kMaxParameters");
  return {.function_name = function_name,
          .source_line = source_line,
          .names = names,
          .num_min = num_min,
          .num_max = static_cast<Py_ssize_t>(kLines),
          .missing_impl_lines = missing_impl_lines,
          .kw_impl_line = kw_impl_line,
          .count_impl_line = count_impl_line};
}

int UnpackArguments(const ArgSpec& params, PyObject* args, PyObject* kwds, Ref* values,
                    Failure* fail) noexcept;

}  // namespace qx
