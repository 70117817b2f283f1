// Owning handle for a Python object reference.
#ifndef ZEQ_PYTHON_REF_H_
#define ZEQ_PYTHON_REF_H_

#include <utility>

#include "py_api.h"

namespace zeq::py {

// Holds one strong reference (or none) and drops it on destruction, so that
// every early exit, including a C++ exception, releases what was taken.
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference; null is allowed.
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }

  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace zeq::py

#endif  // ZEQ_PYTHON_REF_H_
