#include "runtime/arg_parsing.h"

#include <cassert>
#include <utility>

#include "runtime/compat.h"
#include "runtime/internal.h"

namespace qx {

namespace {

// 1 when the two strings are equal, 0 when not, -1 with an error set when the
// comparison itself failed. Identity first, then the length, so that only
// strings of equal length pay for a full comparison.
int NamesEqual(PyObject* name, PyObject* key) noexcept {
  if (name == key) return 1;
  if (PyUnicode_READY(name) < 0 || PyUnicode_READY(key) < 0) return -1;
  if (PyUnicode_GET_LENGTH(name) != PyUnicode_GET_LENGTH(key)) return 0;
  int cmp = PyUnicode_Compare(name, key);
  if (cmp < 0 && PyErr_Occurred()) return -1;
  return cmp == 0 ? 1 : 0;
}

void RaiseDuplicateKeywordError(const char* function_name, PyObject* kw_name) noexcept {
  PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", function_name, kw_name);
}

}  // namespace

void RaiseArgCountError(const char* function_name, int exact, Py_ssize_t num_min, Py_ssize_t num_max,
                        Py_ssize_t num_found) noexcept {
  Py_ssize_t num_expected;
  const char* more_or_less;
  if (num_found < num_min) {
    num_expected = num_min;
    more_or_less = "at least";
  } else {
    num_expected = num_max;
    more_or_less = "at most";
  }
  if (exact) more_or_less = "exactly";
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", function_name,
               more_or_less, num_expected, num_expected == 1 ? "" : "s", num_found);
}

int ParseKeywordArguments(PyObject* kwds, ArgNames names, PyObject** values, Py_ssize_t num_pos_args,
                          const char* function_name) noexcept {
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  ArgNames first_kw = names + num_pos_args;

  while (PyDict_Next(kwds, &pos, &key, &value)) {
    // Keys are almost always the interned names themselves.
    ArgNames name = first_kw;
    while (*name != nullptr && **name != key) ++name;
    if (*name != nullptr) {
      values[name - names] = value;
      continue;
    }

    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function_name);
      return -1;
    }

    bool matched = false;
    for (name = first_kw; *name != nullptr; ++name) {
      int eq = NamesEqual(**name, key);
      if (eq < 0) return -1;
      if (eq) {
        values[name - names] = value;
        matched = true;
        break;
      }
    }
    if (matched) continue;

    // A keyword naming a parameter already given positionally.
    for (name = names; name != first_kw; ++name) {
      int eq = NamesEqual(**name, key);
      if (eq < 0) return -1;
      if (eq) {
        RaiseDuplicateKeywordError(function_name, key);
        return -1;
      }
    }

    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_name, key);
    return -1;
  }
  return 0;
}

int UnpackArguments(const ArgSpec& params, PyObject* args, PyObject* kwds, Ref* values,
                    Failure* fail) noexcept {
  assert(PyTuple_Check(args) && (kwds == nullptr || PyDict_Check(kwds)));
  assert(params.num_min <= params.num_max);
  const Py_ssize_t n = PyTuple_GET_SIZE(args);
  Py_ssize_t num_found = n;
  int32_t count_line = params.count_impl_line;

  if (params.num_max > kMaxParameters) {
    PyErr_SetString(PyExc_SystemError, "too many parameters for the argument unpacking");
    return fail->At(Position{params.source_line, count_line}).Status();
  }

  if (kwds != nullptr) {
    if (n > params.num_max) goto count_error;
    for (Py_ssize_t i = 0; i < n; ++i) values[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));

    Py_ssize_t kw_left = PyDict_Size(kwds);
    for (Py_ssize_t i = n; i < params.num_max; ++i) {
      const bool required = i < params.num_min;
      if (!required && kw_left <= 0) break;
      // The probe takes the hash cached in the name's str object. Owned at
      // once: the next probe may run a key's __eq__, and another thread may
      // change the dictionary, either of which can remove this entry.
      PyObject* found = nullptr;
      const int probe = compat::DictGetItemRef(kwds, *params.names[i], &found);
      if (probe > 0) {
        values[i] = Ref::steal(found);
        --kw_left;
        continue;
      }
      if (probe < 0) {
        // The probe itself failed (a key's comparison raised): keep that error.
        return fail->At(Position{params.source_line, params.kw_impl_line}).Status();
      }
      if (required) {
        // The count reported is the number of parameters filled so far.
        num_found = i;
        if (i > 0) count_line = params.missing_impl_lines[i];
        goto count_error;
      }
    }

    if (kw_left > 0) {
      PyObject* raw[kMaxParameters];
      for (Py_ssize_t i = 0; i < params.num_max; ++i) raw[i] = values[i].get();
      // Take every new reference before releasing any replaced one: a
      // release may run a finalizer that changes the dictionary. The walk
      // and the taking hold the dictionary's lock (no Python code runs in
      // them), so another thread cannot free a value found.
      Ref taken[kMaxParameters];
      int parsed;
      Py_BEGIN_CRITICAL_SECTION(kwds);
      parsed = ParseKeywordArguments(kwds, params.names, raw, n, params.function_name);
      if (parsed == 0) {
        for (Py_ssize_t i = 0; i < params.num_max; ++i) {
          if (raw[i] != values[i].get()) taken[i] = Ref::borrow(raw[i]);
        }
      }
      Py_END_CRITICAL_SECTION();
      if (parsed < 0) {
        return fail->At(Position{params.source_line, params.kw_impl_line}).Status();
      }
      for (Py_ssize_t i = 0; i < params.num_max; ++i) {
        if (taken[i]) values[i] = std::move(taken[i]);
      }
    }
    return 0;
  }

  if (n < params.num_min || n > params.num_max) goto count_error;
  for (Py_ssize_t i = 0; i < n; ++i) values[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
  return 0;

count_error:
  RaiseArgCountError(params.function_name, params.num_min == params.num_max, params.num_min, params.num_max,
                     num_found);
  return fail->At(Position{params.source_line, count_line}).Status();
}

}  // namespace qx
