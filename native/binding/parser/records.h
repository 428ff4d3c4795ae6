// Typed record classes: one generic machinery for every node record,
// ParseError and _Parser. A record is a fixed row of field slots (nullptr =
// never set), optionally followed by private slots the host cannot see.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "binding/common/ref.h"
#include "core/syntax/tree.h"

namespace tarn::py::parser {

struct State;
struct RecordClass;

using syntax::FieldDefault;
using syntax::FieldShape;

struct FieldDecl {
  const char* name;  // as in nodes.def; a trailing "_" (C++ keywords) is dropped for the host
  FieldShape shape;
  FieldDefault deflt;
  std::vector<syntax::NodeKind> kinds = {};  // the records a Node field accepts
};

// What a class is made from.
struct RecordDecl {
  const char* name;                 // "Binary"; the class is "tarn.parser.<name>"
  PyTypeObject* base = nullptr;     // a record class, or nullptr
  std::vector<FieldDecl> fields;    // the full field order, inherited fields first
  int private_slots = 0;
  initproc init = nullptr;          // default: fields by position or name, with defaults
  std::vector<PyMethodDef> methods; // defined before the state methods
  const char* doc = nullptr;
};

struct FieldInfo {
  RecordClass* owner;
  int index;
  FieldDecl decl;
  std::string name;
  std::string declared_type;  // "tarn.parser.Expr or None", for type errors
  Ref py_name;  // interned
};

struct RecordClass {
  State* state = nullptr;
  int kind = -1;                 // syntax::NodeKind of the record, -1 for others
  std::string qualified_name;    // tp_name points here for the class's life
  std::vector<FieldInfo> fields;
  std::vector<PyGetSetDef> getset;
  std::vector<PyMethodDef> methods;
  std::string init_format;       // "OOO|O:__init__"
  std::vector<char*> kwlist;
  initproc custom_init = nullptr;
  int private_slots = 0;
  Ref type;

  PyTypeObject* tp() const { return reinterpret_cast<PyTypeObject*>(type.get()); }
};

// The slots of a record instance: fields first, then private slots.
inline PyObject** record_slots(PyObject* o) {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + sizeof(PyObject));
}
inline constexpr Py_ssize_t record_basicsize(size_t slots) {
  return static_cast<Py_ssize_t>(sizeof(PyObject) + slots * sizeof(PyObject*));
}

// Creates the class in `module` (not yet bound as a module attribute).
std::unique_ptr<RecordClass> make_record_class(State& state, PyObject* module, const RecordDecl& decl, int kind);

// The record class of one of our types (exact types only).
RecordClass* record_class_of(PyTypeObject* type);
bool is_record_type(PyTypeObject* type);

// A new instance with every slot empty, not yet tracked by the cyclic GC:
// the caller fills it and hands it to PyObject_GC_Track once it is complete.
PyObject* new_untracked_record(const RecordClass& cls);

// The value field `f` stores for `value` (a new reference: the value itself,
// or a plain int for an int subclass), or nullptr with the type error
// "<declared type> object expected; got <type>".
PyObject* accept_field(const State& state, const FieldInfo& f, PyObject* value);

}  // namespace tarn::py::parser
