// Small owning handle for a strong reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

namespace qx {

// Owns at most one strong reference. Construction is explicit about where the
// reference comes from: Ref::steal() takes over a new reference (null allowed,
// so it can wrap the result of any API call), Ref::borrow() adds one.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = p_;
      p_ = other.p_;
      other.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // Hands the reference to the caller; the handle is empty afterwards.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

  // Drops the held reference now (before scope end).
  void reset() noexcept { Py_XDECREF(std::exchange(p_, nullptr)); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace qx
