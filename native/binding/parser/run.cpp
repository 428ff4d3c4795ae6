#include "run.h"

#include "binding/common/lexed_text.h"
#include "messages.h"

namespace tarn::py::parser {

void report_too_deep(ParseInput& in, int64_t token) {
  Ref line, col;
  if (!token_position(in, token, line, col)) return;
  PyErr_Format(PyExc_RecursionError, kTooDeepFormat, line.get(), col.get());
}

PyObject* diagnostics(State& st, const std::vector<parse::Diag>& diags, TokenTexts& texts, PyObject* host_key) {
  const RecordClass* cls = st.records[static_cast<size_t>(syntax::NodeKind::ParseError)].get();
  if (!cls->type) {
    PyErr_SetString(PyExc_RuntimeError, "tarn.parser has been torn down");
    return nullptr;
  }
  Ref errors = Ref::steal(PyList_New(0));
  Ref one = Ref::steal(PyLong_FromLong(1));
  if (!errors || !one) return nullptr;
  for (size_t i = 0; i < diags.size(); ++i) {
    const parse::Diag& d = diags[i];
    PyObject* kw = nullptr;
    if (d.kw_token >= 0 && !(kw = texts.get(d.kw_token))) return nullptr;
    Ref message = Ref::steal(d.msg == parse::Msg::HostKey ? translate(st, host_key, kw) : translate(st, d.msg, kw));
    if (!message) return nullptr;
    Ref error = Ref::steal(cls->tp()->tp_alloc(cls->tp(), 0));
    if (!error) return nullptr;
    PyObject** slots = record_slots(error.get());
    if (!(slots[0] = PyLong_FromLongLong(d.start))) return nullptr;
    slots[1] = d.end_overflows ? PyNumber_Add(slots[0], one.get()) : PyLong_FromLongLong(d.end);
    if (!slots[1]) return nullptr;
    slots[2] = message.release();
    if (PyList_Append(errors.get(), error.get()) < 0) return nullptr;
  }
  return errors.release();
}

}  // namespace tarn::py::parser
