// Native tree -> host records. Iterative: an explicit stack of slots still
// to fill, so depth costs heap, never C stack.
#pragma once
#include <vector>

#include "input.h"
#include "state.h"

namespace tarn::py::parser {

class Converter {
 public:
  Converter(State& st, TokenTexts& texts) : st_(st), texts_(texts) {}
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  ~Converter();

  // New references (None for nullptr); nullptr with an error set. After a
  // failure every result obtained from this converter must be dropped.
  PyObject* node(const syntax::Node* n);
  PyObject* list(const syntax::List* l);
  PyObject* str(const syntax::StrRef& s, bool optional);

  // The containers are made outside the cyclic GC, which keeps collections
  // during a large conversion cheap and never shows the GC a half-filled
  // list. This hands them all to it; call it once the results are owned.
  void finish();

 private:
  enum class Task : uint8_t { NODE, LIST, TUPLE };
  struct Pending {
    PyObject** slot;
    const void* what;
    Task task;
  };

  PyObject* convert_root(const void* what, Task task);
  bool run();
  bool make_record(PyObject** slot, const syntax::Node* n);
  bool make_sequence(PyObject** slot, const syntax::List* l, bool tuple);
  bool fill(const syntax::Node* n, PyObject** slots);
  bool adopt(PyObject* container);

  // One per field shape (syntax::FieldShape).
  bool put_Int(PyObject** s, int64_t v);
  bool put_Bool(PyObject** s, bool v);
  bool put_Str(PyObject** s, const syntax::StrRef& v) { return (*s = str(v, false)) != nullptr; }
  bool put_StrOrNone(PyObject** s, const syntax::StrRef& v) { return (*s = str(v, true)) != nullptr; }
  bool put_List(PyObject** s, const syntax::List* v);
  bool put_ListOrNone(PyObject** s, const syntax::List* v);
  bool put_Node(PyObject** s, const syntax::Node* v) { return put_node(s, v); }
  bool put_NodeOrNone(PyObject** s, const syntax::Node* v) { return put_node(s, v); }
  bool put_node(PyObject** s, const syntax::Node* v);
  bool put_value(PyObject** s, const syntax::Value& v);

  PyObject* join(const uint32_t* indices, uint32_t from, uint32_t count, PyObject* separator);
  PyObject* static_text(const char* text);

  // Offsets repeat (a node starts where its first child starts), so recent
  // int objects are shared instead of made again: fewer objects to make,
  // keep and free.
  static constexpr size_t kIntCache = 1024;
  struct CachedInt {
    int64_t value;
    PyObject* object;  // owned
  };
  CachedInt ints_[kIntCache] = {};

  State& st_;
  TokenTexts& texts_;
  std::vector<Pending> stack_;
  std::vector<PyObject*> made_;
  size_t steps_ = 0;
};

}  // namespace tarn::py::parser
