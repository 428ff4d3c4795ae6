// A printer for syntax trees in the host's printable form: records as
// Name(field=value, ...), lists as [...], pairs as (...), None, True/False,
// strings quoted and escaped as the host quotes them. For tools, fuzzing and
// tests. It walks with an explicit stack, so tree depth costs heap only.
#pragma once
#include <functional>
#include <string>

#include "core/syntax/tree.h"

namespace tarn::syntax {

// Turns a string field (a token text, a join of token texts, a static text)
// into UTF-8. Only called for strings that are not none.
using StrResolver = std::function<std::string(const StrRef&)>;

std::string dump(const Node* node, const StrResolver& resolve);
std::string dump(const Value& value, const StrResolver& resolve);

// The host's repr of a string given as UTF-8 (quotes and escapes).
std::string quote(const std::string& utf8);

}  // namespace tarn::syntax
