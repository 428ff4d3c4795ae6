// A small owning reference to a host object: the only way the binding holds
// references, so every early return releases what it took.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tarn::py {

class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (may be null after a failed call).
  static Ref steal(PyObject* o) { Ref r; r.p_ = o; return r; }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* o) { Py_XINCREF(o); return steal(o); }

  Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace tarn::py
