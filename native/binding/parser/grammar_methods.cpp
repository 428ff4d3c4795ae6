// The grammar rules as methods of _Parser. Each call runs the native rule at
// `pos` over the live fields: the token view is built from the current
// `toks`, the surviving diagnostics are appended to `errors` as ParseError
// records, `pos` is moved, and the result comes back as host values. Host
// records handed in are embedded by identity. One table drives all rules.
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

// What a rule takes besides the cursor.
enum class Param : uint8_t { NONE, MODULE, ANNOTATIONS, EXPR, NAMES, PREV_LINE, KEY, ALLOW_NAMED };

struct RuleArgs {
  syntax::Module* module = nullptr;
  syntax::List* annotations = nullptr;
  syntax::Node* expr = nullptr;
  std::vector<parse::Kw> names;
  std::vector<PyObject*> host_names;  // borrowed: stop names outside the grammar's keywords
  int64_t prev_line = 0;
  parse::Msg key{};
  PyObject* host_key = nullptr;  // borrowed from the call's arguments when key is HostKey
  bool allow_named = false;
};

struct RuleResult {
  enum Kind : uint8_t { NONE, NODE, LIST, BOOL, STR, TYPE_NAME, MODULE_PAIR } kind = NONE;
  const syntax::Node* node = nullptr;
  const syntax::List* list = nullptr;
  bool flag = false;
  syntax::StrRef a, b;
};

RuleResult nothing() { return {}; }
RuleResult of(const syntax::Node* n) { RuleResult r; r.kind = RuleResult::NODE; r.node = n; return r; }
RuleResult of(const syntax::List* l) { RuleResult r; r.kind = RuleResult::LIST; r.list = l; return r; }
RuleResult of(bool f) { RuleResult r; r.kind = RuleResult::BOOL; r.flag = f; return r; }
RuleResult of(std::optional<syntax::StrRef> s) {
  if (!s) return nothing();
  RuleResult r;
  r.kind = RuleResult::STR;
  r.a = *s;
  return r;
}
RuleResult of(std::optional<Parser::TypeName> t) {
  if (!t) return nothing();
  RuleResult r;
  r.kind = RuleResult::TYPE_NAME;
  r.a = t->name;
  r.b = t->text;
  return r;
}
RuleResult module_pair(const syntax::Module* m) { RuleResult r = of(m); r.kind = RuleResult::MODULE_PAIR; return r; }

struct Rule {
  const char* name;
  const char* doc;
  Param param;
  const char* param_name;
  RuleResult (*run)(Parser&, RuleArgs&);
};

#define SIG0(name) #name "($self, /)\n--\n\n"
#define RULE(name, expr) {#name, SIG0(name), Param::NONE, nullptr, [](Parser& p, RuleArgs&) { return expr; }}
#define RULE1(name, param, param_name, sig, expr) \
  {#name, #name "($self, /, " sig ")\n--\n\n", Param::param, param_name, [](Parser& p, RuleArgs& a) { return expr; }}

// In their order of definition.
const Rule kRules[] = {
    // module members
    {"parse_module", SIG0(parse_module), Param::NONE, nullptr, [](Parser& p, RuleArgs&) { return module_pair(p.parse_module()); }},
    RULE1(module_member, MODULE, "module", "module", (p.module_member(a.module), nothing())),
    RULE(recover_to_module_member, (p.recover_to_module_member(), nothing())),
    RULE(namespace_import, of(p.namespace_import())),
    RULE(annotations, of(p.annotations())),
    RULE(annotation_args, of(p.annotation_args())),
    RULE1(method, ANNOTATIONS, "annotations", "annotations", of(p.method(a.annotations))),
    RULE(parameters, of(p.parameters())),
    RULE1(structure, ANNOTATIONS, "annotations", "annotations", of(p.structure(a.annotations))),
    RULE1(object_field, ANNOTATIONS, "annotations", "annotations", of(p.object_field(a.annotations))),
    RULE1(enum, ANNOTATIONS, "annotations", "annotations", of(p.enum_(a.annotations))),
    RULE1(module_const, ANNOTATIONS, "annotations", "annotations", of(p.module_const(a.annotations))),
    // types
    RULE(compound_type, of(p.compound_type())),
    RULE(type_name, of(p.type_name())),
    RULE(grouped_type, of(p.grouped_type())),
    RULE(func_type, of(p.func_type())),
    RULE1(generic_type_args, ALLOW_NAMED, "allow_named", "allow_named=False", of(p.generic_type_args(a.allow_named))),
    // statements
    RULE1(statements_until_semicolon, KEY, "key", "key", of(p.statements_until_semicolon(a.key))),
    {"block_until", "block_until($self, /, *names)\n--\n\n", Param::NAMES, nullptr,
     [](Parser& p, RuleArgs& a) { return of(p.block_until(a.names.data(), a.names.size())); }},
    RULE(recover_statement, (p.recover_statement(), nothing())),
    RULE(statement, of(p.statement())),
    RULE(if_statement, of(p.if_statement())),
    RULE(case_statement, of(p.case_statement())),
    RULE(when_expression, of(p.when_expression())),
    RULE(while_statement, of(p.while_statement())),
    RULE(for_statement, of(p.for_statement())),
    RULE(try_statement, of(p.try_statement())),
    RULE(scope_statement, of(p.scope_statement())),
    RULE(return_statement, of(p.return_statement())),
    RULE1(starts_new_statement, PREV_LINE, "prev_line", "prev_line", of(p.starts_new_statement(a.prev_line))),
    // declarations and simple statements
    RULE(var_decl, of(p.var_decl())),
    RULE(use_statement, of(p.use_statement())),
    RULE(expression_statement, of(p.expression_statement())),
    // the precedence chain
    RULE(expression, of(p.expression())),
    RULE(expression_ended, of(p.expression_ended())),
    RULE(log_term, of(p.log_term())),
    RULE(log_fact, of(p.log_fact())),
    RULE(log_primary, of(p.log_primary())),
    RULE(simple_expression, of(p.simple_expression())),
    RULE(term, of(p.term())),
    RULE(exp, of(p.exp())),
    RULE(fact, of(p.fact())),
    // postfix chains and calls
    RULE(method_ref, of(p.method_ref())),
    RULE(feature_resolving, of(p.feature_resolving())),
    RULE1(maybe_call, EXPR, "callee", "callee", of(p.maybe_call(a.expr))),
    RULE(starts_a_line, of(p.starts_a_line())),
    RULE(generic_call_args, of(p.generic_call_args())),
    RULE(call_args, of(p.call_args())),
    // primaries
    RULE(static_feature_resolving, of(p.static_feature_resolving())),
    RULE(paren_or_lambda, of(p.paren_or_lambda())),
    RULE(static_feature, of(p.static_feature())),
    RULE(creator, of(p.creator())),
    // collection literals, lambdas, embedded literals
    RULE(array_literal, of(p.array_literal())),
    RULE(map_literal, of(p.map_literal())),
    RULE(try_lambda_full, of(p.try_lambda_full())),
    RULE(type_literal, of(p.type_literal())),
    RULE(query_literal, of(p.query_literal())),
    RULE(resolvable_literal, of(p.resolvable_literal())),
    RULE1(postfix_after_literal, EXPR, "expr", "expr", of(p.postfix_after_literal(a.expr))),
};

#undef RULE
#undef RULE1
#undef SIG0

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
  auto* h = arena.make<syntax::HostRef>(span[0], span[1]);
  h->host = record;
  return h;
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
  switch (rule.param) {
    case Param::NONE: return true;
    case Param::MODULE:
      if (!st.is_record(arg, NodeKind::Module)) return type_error("tarn.parser.Module", arg), false;
      a.module = arena.make<syntax::Module>(0, 0);
      a.module->imports = arena.list();
      a.module->members = arena.list();
      return true;
    case Param::ANNOTATIONS:
      if (!PyList_Check(arg)) return type_error("list", arg), false;
      return (a.annotations = host_list(st, arena, arg)) != nullptr;
    case Param::EXPR:
      if (!st.is_record(arg, NodeKind::Expr)) return type_error("tarn.parser.Expr", arg), false;
      return (a.expr = host_node(arena, arg)) != nullptr;
    case Param::NAMES:
      for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(names); i < n; ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        if (!PyUnicode_Check(name)) return type_error("str", name), false;
        Py_ssize_t len;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name, &len);
        if (!utf8) return false;
        a.names.push_back(parse::keyword_from_name(utf8, static_cast<size_t>(len)));
        if (a.names.back() == parse::Kw::NONE) a.host_names.push_back(name);
      }
      return true;
    case Param::PREV_LINE:
      if (!PyLong_Check(arg)) return type_error("int", arg), false;
      return to_int64(arg, &a.prev_line);
    case Param::KEY:
      if (!PyUnicode_Check(arg)) return type_error("str", arg), false;
      if (message_of_key(st, arg, &a.key)) return true;
      // Any other key is reported as the translation service renders it.
      a.key = parse::Msg::HostKey;
      a.host_key = arg;
      return !PyErr_Occurred();
    case Param::ALLOW_NAMED:
      if (!arg) return true;
      if (!PyBool_Check(arg)) return type_error("bool", arg), false;
      a.allow_named = arg == Py_True;
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
    case RuleResult::MODULE_PAIR: return conv.node(r.node);  // paired with `errors` by the caller
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
  if (rule.param == Param::NAMES) {
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0)
      return PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", rule.name);
  } else if (rule.param != Param::NONE) {
    const std::string format = std::string(rule.param == Param::ALLOW_NAMED ? "|O:" : "O:") + rule.name;
    char* kwlist[] = {const_cast<char*>(rule.param_name), nullptr};
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
  if (!a.host_names.empty() && !mark_host_stops(in, a.host_names)) return nullptr;
  const bool whole_module = &rule == &kRules[0];
  if (whole_module) {
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
  Ref new_errors = Ref::steal(diagnostics(st, p.diags(), in.texts, a.host_key));
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
  if (rule.param == Param::MODULE && !append_members(conv, arg, a.module, imports, members)) return nullptr;
  conv.finish();

  if (PyList_SetSlice(errors.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, new_errors.get()) < 0) return nullptr;
  if (!set_parser_field(self, POS, new_pos.get())) return nullptr;
  if (rule.param == Param::MODULE) {
    Ref host_imports = Ref::steal(field_of(arg, "imports"));
    if (!host_imports || !extend(host_imports.get(), imports)) return nullptr;
    Ref host_members = Ref::steal(field_of(arg, "members"));
    if (!host_members || !extend(host_members.get(), members)) return nullptr;
  }
  if (r.kind == RuleResult::MODULE_PAIR) return PyTuple_Pack(2, result.get(), errors.get());
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
    if (rule.param == Param::NONE)
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
