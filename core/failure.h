// Where a failure inside the module is reported: the position type that
// every failing path fills and that traceback entries are made from.
#pragma once

#include <Python.h>

#include <cassert>
#include <concepts>
#include <cstdint>

namespace qx {

// The files that reported positions name.
enum class SourceFile : uint8_t { EnumSupport = 0, Definition = 1 };

// The name a traceback entry gives the file. A switch without a default, so
// a new SourceFile without a name here does not compile (-Wswitch, -Werror).
constexpr const char* FileName(SourceFile file) noexcept {
  switch (file) {
    case SourceFile::EnumSupport:
      return "enumsupport";
    case SourceFile::Definition:
      return "quendrix\\core\\enums\\weekdays";
  }
  return nullptr;
}

// A reported position, and the constant that names a failure point: the
// line in the reported file (the source line), the line of the
// implementation file (0 where none is reported) and the file. Each failing
// function keeps its failure points in a table beside it, one named Position
// per point (`fail->At(kReduce.dict)`); implementation-file lines appear in
// traceback names only while qx_runtime.impl_line_in_traceback is true.
struct Position {
  int32_t source_line = 0;
  int32_t impl_line = 0;
  SourceFile file = SourceFile::EnumSupport;
};

// What `fail->At(...)` gives back: null for a routine that returns an object
// (`return fail->At(...);`), -1 for one that returns a status when asked
// (`return fail->At(...).Status();`). Nothing else: returned as it is from a
// routine that returns bool it would read as true, success, and from one
// that returns an int that is not a status (a count, a truth value) it would
// be a plausible value, so every other conversion is deleted and such a
// return does not compile (tests/cpp/compile_fail/failure_result.cpp).
struct FailureResult {
  constexpr operator PyObject*() const noexcept { return nullptr; }
  constexpr int Status() const noexcept { return -1; }
  template <typename T>
  operator T() const = delete;
};

// Filled by a failing step and reported by its caller once the step's
// temporaries are released. It lives with the caller, not in process-wide
// state, so a finalizer run by those releases cannot move it.
struct Failure {
  Position pos;

  FailureResult At(const Position& where) noexcept {
    assert(where.source_line > 0 && where.impl_line >= 0);
    pos = where;
    return {};
  }
  // A failure point whose implementation line depends on how the failing
  // step went, such as the path a call took (CallSite, runtime/calls.h):
  // site.For(path) gives the position.
  template <typename Site, typename Path>
  requires requires(const Site& site, Path path) {
    { site.For(path) } -> std::same_as<Position>;
  }
  FailureResult At(const Site& site, Path path) noexcept { return At(site.For(path)); }
};

}  // namespace qx
