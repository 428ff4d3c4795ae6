// The node records and ParseError, as nodes.def declares them, in its order.
#include <cstring>

#include "module_parts.h"

namespace tarn::py::parser {
namespace {

struct NodeDecl {
  const char* name;
  const char* base;  // "Root": no base record
  std::vector<FieldDecl> own;
};

std::vector<NodeDecl> node_decls() {
  std::vector<NodeDecl> out;
#define RECORD(N, B) out.push_back({#N, #B, {}});
#define FIELD(R, F, S, D, K) out.back().own.push_back({#F, FieldShape::S, FieldDefault::D, K});
#define END(N)
#define KINDS(...) {__VA_ARGS__}
#include "core/syntax/nodes.inc"
#undef KINDS
#undef RECORD
#undef FIELD
#undef END
  return out;
}

}  // namespace

bool add_node_records(State& st, PyObject* module) {
  const std::vector<NodeDecl> decls = node_decls();
  std::vector<RecordDecl> made;
  st.records.resize(decls.size());
  for (size_t i = 0; i < decls.size(); ++i) {
    const NodeDecl& d = decls[i];
    RecordDecl decl;
    decl.name = d.name;
    if (std::strcmp(d.base, "Root") != 0) {
      size_t b = 0;
      while (b < i && std::strcmp(decls[b].name, d.base) != 0) ++b;
      if (b == i) {
        PyErr_Format(PyExc_SystemError, "record %s names an unknown base %s", d.name, d.base);
        return false;
      }
      decl.base = st.records[b]->tp();
      decl.fields = made[b].fields;
    }
    decl.fields.insert(decl.fields.end(), d.own.begin(), d.own.end());
    st.records[i] = make_record_class(st, module, decl, static_cast<int>(i));
    if (!st.records[i] || PyModule_AddObjectRef(module, d.name, st.records[i]->type.get()) < 0) return false;
    made.push_back(std::move(decl));
  }
  return true;
}

}  // namespace tarn::py::parser
