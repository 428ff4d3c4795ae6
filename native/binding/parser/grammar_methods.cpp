// The grammar rules as methods of _Parser. Each call runs the native rule at
// `pos` over the live fields: the token view is built from the current
// `toks`, the surviving diagnostics are appended to `errors` as ParseError
// records, `pos` is moved, and the result comes back as host values. Host
// records handed in are embedded by identity. One table drives all rules.
#include <type_traits>
#include <utility>

#include "binding/common/errors.h"
#include "binding/common/record.h"
#include "convert.h"
#include "messages.h"
#include "parser_object.h"
#include "run.h"

namespace tarn::py::parser {
namespace {

using parse::Parser;
using syntax::NodeKind;

// What a rule takes besides the cursor (the argument kinds of rules.inc).
enum class ArgumentKind : uint8_t { NONE, MODULE, ANNOTATIONS, EXPR, KEYWORDS, INT, MESSAGE, BOOL };

struct RuleArgs {
  syntax::Module* module = nullptr;
  syntax::List* annotations = nullptr;
  syntax::Node* expr = nullptr;
  std::vector<parse::Kw> keywords;
  std::vector<PyObject*> host_keywords;  // borrowed: stop names outside the grammar's keywords
  int64_t integer = 0;
  parse::Msg message{};
  PyObject* host_message = nullptr;  // borrowed from the call's arguments when message is HostKey
  bool flag = false;
};

struct RuleResult {
  enum Kind : uint8_t { NONE, NODE, LIST, BOOL, STR, TYPE_NAME } kind = NONE;
  const syntax::Node* node = nullptr;
  const syntax::List* list = nullptr;
  bool flag = false;
  syntax::StrRef a, b;
};

RuleResult of(const syntax::Node* n) { RuleResult r; r.kind = RuleResult::NODE; r.node = n; return r; }
RuleResult of(const syntax::List* l) { RuleResult r; r.kind = RuleResult::LIST; r.list = l; return r; }
RuleResult of(bool f) { RuleResult r; r.kind = RuleResult::BOOL; r.flag = f; return r; }
RuleResult of(std::optional<syntax::StrRef> s) {
  RuleResult r;
  if (s) r.kind = RuleResult::STR, r.a = *s;
  return r;
}
RuleResult of(std::optional<Parser::TypeName> t) {
  RuleResult r;
  if (t) r.kind = RuleResult::TYPE_NAME, r.a = t->name, r.b = t->text;
  return r;
}
template <class Call>
RuleResult result_of(Call call) {
  if constexpr (std::is_void_v<decltype(call())>) {
    call();
    return {};
  } else {
    return of(call());
  }
}

struct Rule {
  const char* name;
  const char* doc;
  ArgumentKind argument;
  const char* argument_name;
  bool whole_module;  // parse_module: reports unterminated literals, returns (module, errors)
  RuleResult (*run)(Parser&, RuleArgs&);
};

#define ARGUMENT_NONE
#define ARGUMENT_MODULE a.module
#define ARGUMENT_ANNOTATIONS a.annotations
#define ARGUMENT_EXPR a.expr
#define ARGUMENT_KEYWORDS a.keywords
#define ARGUMENT_INT a.integer
#define ARGUMENT_MESSAGE a.message
#define ARGUMENT_BOOL a.flag

// In their order of definition.
const Rule kRules[] = {
#define RULE(name, host_name, Result, parameters, KIND, argument, signature)                      \
  {host_name, signature, ArgumentKind::KIND, argument, std::is_same_v<Result, syntax::Module*>,          \
   []([[maybe_unused]] Parser& p, [[maybe_unused]] RuleArgs& a) {                                 \
     return result_of([&] { return p.name(ARGUMENT_##KIND); });                                   \
   }},
#include "core/parse/rules.inc"
#undef RULE
};

// ------------------------------------------------------------------ arguments

bool to_int64(PyObject* v, int64_t* out) {
  const long long x = PyLong_AsLongLong(v);
  if (x == -1 && PyErr_Occurred()) return false;
  *out = x;
  return true;
}

// A host record as a native node: its span, and the object itself.
syntax::Node* host_node(syntax::Arena& arena, PyObject* record) {
  PyObject** slots = record_slots(record);
  const RecordClass& cls = *record_class_of(Py_TYPE(record));
  int64_t span[2];
  for (int i = 0; i < 2; ++i) {
    if (!slots[i]) return field_undefined(record, cls.fields[i].name.c_str());
    if (!to_int64(slots[i], &span[i])) return nullptr;
  }
  return arena.make<syntax::HostRef>(span[0], span[1], static_cast<void*>(record));
}

// A host list (of annotations) as an opaque native list.
syntax::List* host_list(State& st, syntax::Arena& arena, PyObject* list) {
  auto* h = new (arena.allocate(sizeof(syntax::HostList), alignof(syntax::HostList))) syntax::HostList();
  h->object = list;
  h->size = PyList_GET_SIZE(list);
  if (h->size > 0) {
    Ref first = Ref::borrow(PyList_GET_ITEM(list, 0));
    Ref start = Ref::steal(PyObject_GetAttr(first.get(), st.s_start.get()));
    if (!start) return nullptr;
    if (!PyLong_Check(start.get())) return type_error("int", start.get());
    if (!to_int64(start.get(), &h->first_start)) return nullptr;
  }
  syntax::List* l = arena.list();
  l->host = h;
  return l;
}

bool prepare_args(State& st, const Rule& rule, PyObject* arg, PyObject* names, syntax::Arena& arena, RuleArgs& a) {
  switch (rule.argument) {
    case ArgumentKind::NONE: return true;
    case ArgumentKind::MODULE:
      if (!st.is_record(arg, NodeKind::Module)) return type_error("tarn.parser.Module", arg), false;
      a.module = arena.make<syntax::Module>(0, 0, arena.list(), arena.list());
      return true;
    case ArgumentKind::ANNOTATIONS:
      if (!PyList_Check(arg)) return type_error("list", arg), false;
      return (a.annotations = host_list(st, arena, arg)) != nullptr;
    case ArgumentKind::EXPR:
      if (!st.is_record(arg, NodeKind::Expr)) return type_error("tarn.parser.Expr", arg), false;
      return (a.expr = host_node(arena, arg)) != nullptr;
    case ArgumentKind::KEYWORDS:
      for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(names); i < n; ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        if (!PyUnicode_Check(name)) return type_error("str", name), false;
        Py_ssize_t len;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name, &len);
        if (!utf8) return false;
        a.keywords.push_back(parse::keyword_from_name(utf8, static_cast<size_t>(len)));
        if (a.keywords.back() == parse::Kw::NONE) a.host_keywords.push_back(name);
      }
      return true;
    case ArgumentKind::INT:
      if (!PyLong_Check(arg)) return type_error("int", arg), false;
      return to_int64(arg, &a.integer);
    case ArgumentKind::MESSAGE:
      if (!PyUnicode_Check(arg)) return type_error("str", arg), false;
      if (message_of_key(st, arg, &a.message)) return true;
      // Any other key is reported as the translation service renders it.
      a.message = parse::Msg::HostKey;
      a.host_message = arg;
      return !PyErr_Occurred();
    case ArgumentKind::BOOL:
      if (!arg) return true;
      if (!PyBool_Check(arg)) return type_error("bool", arg), false;
      a.flag = arg == Py_True;
      return true;
  }
  return true;
}

// ------------------------------------------------------------------ results

// module_member: the members it parsed go into the host module's own lists.
bool append_members(Converter& conv, PyObject* module, const syntax::Module* parsed, std::vector<Ref>& imports,
                    std::vector<Ref>& members) {
  for (uint32_t i = 0; i < parsed->imports->size; ++i) {
    imports.push_back(Ref::steal(conv.node(parsed->imports->items[i].node)));
    if (!imports.back()) return false;
  }
  for (uint32_t i = 0; i < parsed->members->size; ++i) {
    members.push_back(Ref::steal(conv.node(parsed->members->items[i].node)));
    if (!members.back()) return false;
  }
  return true;
}

PyObject* host_result(Converter& conv, const RuleResult& r) {
  switch (r.kind) {
    case RuleResult::NONE: return Py_NewRef(Py_None);
    case RuleResult::NODE: return conv.node(r.node);
    case RuleResult::LIST: return conv.list(r.list);
    case RuleResult::BOOL: return PyBool_FromLong(r.flag);
    case RuleResult::STR: return conv.str(r.a, false);
    case RuleResult::TYPE_NAME: {
      Ref name = Ref::steal(conv.str(r.a, false));
      Ref text = Ref::steal(name ? conv.str(r.b, false) : nullptr);
      return text ? PyTuple_Pack(2, name.get(), text.get()) : nullptr;
    }
  }
  return Py_NewRef(Py_None);
}

PyObject* field_of(PyObject* record, const char* name) {
  const RecordClass& cls = *record_class_of(Py_TYPE(record));
  for (const FieldInfo& f : cls.fields)
    if (f.name == name) {
      PyObject* v = record_slots(record)[f.index];
      return v ? Py_NewRef(v) : field_undefined(record, name);
    }
  return PyErr_Format(PyExc_AttributeError, "no field %s", name);
}

bool extend(PyObject* list, const std::vector<Ref>& items) {
  for (const Ref& item : items)
    if (PyList_Append(list, item.get()) < 0) return false;
  return true;
}

// ------------------------------------------------------------------ the driver

PyObject* run_rule(PyObject* self, const Rule& rule, PyObject* args, PyObject* kwargs) {
  PyObject* arg = nullptr;
  if (rule.argument == ArgumentKind::KEYWORDS) {
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0)
      return PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", rule.name);
  } else if (rule.argument != ArgumentKind::NONE) {
    const std::string format = std::string(rule.argument == ArgumentKind::BOOL ? "|O:" : "O:") + rule.name;
    char* kwlist[] = {const_cast<char*>(rule.argument_name), nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kwlist, &arg)) return nullptr;
  }
  State& st = state_of(self);
  if (!st.lexer) {
    PyErr_SetString(PyExc_RuntimeError, "tarn.parser has been torn down");
    return nullptr;
  }
  syntax::Arena arena;
  RuleArgs a;
  if (!prepare_args(st, rule, arg, args, arena, a)) return nullptr;

  Ref toks = Ref::steal(parser_field(self, TOKS));
  if (!toks) return nullptr;
  Ref pos = Ref::steal(parser_field(self, POS));
  if (!pos) return nullptr;
  Ref errors = Ref::steal(parser_field(self, ERRORS));
  if (!errors) return nullptr;
  int64_t start_pos;
  if (!to_int64(pos.get(), &start_pos)) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_IndexError, "cannot fit 'int' into an index-sized integer");
    }
    return nullptr;
  }

  ParseInput in;
  if (!read_host_tokens(st, toks.get(), /*drop_trivia=*/false, in)) return nullptr;
  if (!a.host_keywords.empty() && !mark_host_stops(in, a.host_keywords)) return nullptr;
  if (rule.whole_module) {
    // Unterminated literals and comments count from the tokens as given
    // (comments included), not from what the cursor walks.
    PyObject* all = record_slots(self)[ALL_TOKS];
    if (!collect_unterminated(st, all ? all : toks.get(), in.unterminated)) return nullptr;
  }

  Parser p(in.toks.data(), static_cast<int64_t>(in.toks.size()), arena, start_pos);
  p.set_poll(poll_signals, nullptr);
  p.set_unterminated(std::move(in.unterminated));
  RuleResult r;
  if (!run_native(in, [&] { r = rule.run(p, a); })) return nullptr;

  // Everything that can fail happens before the live fields change.
  Ref new_errors = Ref::steal(diagnostics(st, p.diags(), in.texts, a.host_message));
  if (!new_errors) return nullptr;
  // A negative position stays negative, as list indexing from the end would leave it.
  const int64_t count = static_cast<int64_t>(in.toks.size());
  const bool from_end = start_pos < 0 && start_pos + count >= 0;
  Ref new_pos = Ref::steal(PyLong_FromLongLong(from_end ? p.pos() - count : p.pos()));
  if (!new_pos) return nullptr;
  Converter conv(st, in.texts);
  Ref result = Ref::steal(host_result(conv, r));
  if (!result) return nullptr;
  std::vector<Ref> imports, members;
  if (rule.argument == ArgumentKind::MODULE && !append_members(conv, arg, a.module, imports, members)) return nullptr;
  conv.finish();

  if (PyList_SetSlice(errors.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, new_errors.get()) < 0) return nullptr;
  if (!set_parser_field(self, POS, new_pos.get())) return nullptr;
  if (rule.argument == ArgumentKind::MODULE) {
    Ref host_imports = Ref::steal(field_of(arg, "imports"));
    if (!host_imports || !extend(host_imports.get(), imports)) return nullptr;
    Ref host_members = Ref::steal(field_of(arg, "members"));
    if (!host_members || !extend(host_members.get(), members)) return nullptr;
  }
  if (rule.whole_module) return PyTuple_Pack(2, result.get(), errors.get());
  return result.release();
}

template <size_t I>
PyObject* rule_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run_rule(self, kRules[I], args, kwargs);
}

template <size_t I>
PyObject* rule_method_noargs(PyObject* self, PyObject*) {
  return run_rule(self, kRules[I], nullptr, nullptr);
}

template <size_t... I>
std::vector<PyMethodDef> method_table(std::index_sequence<I...>) {
  std::vector<PyMethodDef> out;
  auto add = [&](const Rule& rule, PyCFunction with_args, PyCFunction without) {
    if (rule.argument == ArgumentKind::NONE)
      out.push_back({rule.name, without, METH_NOARGS, rule.doc});
    else
      out.push_back({rule.name, with_args, METH_VARARGS | METH_KEYWORDS, rule.doc});
  };
  (add(kRules[I], reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rule_method<I>)), rule_method_noargs<I>),
   ...);
  return out;
}

}  // namespace

std::vector<PyMethodDef> grammar_methods() { return method_table(std::make_index_sequence<std::size(kRules)>()); }

}  // namespace tarn::py::parser
