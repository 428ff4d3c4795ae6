// Running the native parser from the host: its exceptions become host
// errors (none ever crosses into the interpreter) and its diagnostics
// become ParseError records.
#pragma once
#include <exception>
#include <new>

#include "input.h"

namespace tarn::py::parser {

// RecursionError "maximum nesting depth exceeded while parsing at line L, column C".
void report_too_deep(ParseInput& in, int64_t token);

// Runs `body`, which calls into the native parser. False with an error set.
template <class F>
bool run_native(ParseInput& in, F&& body) {
  try {
    body();
    return true;
  } catch (const parse::NestingTooDeep& e) {
    report_too_deep(in, e.token);
  } catch (const parse::Interrupted&) {
    // the poll has set the host's error already
  } catch (const parse::TokenIndexError&) {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected native exception while parsing");
  }
  return false;
}

// The poll the binding hands to the native parser: stops it when a signal
// handler raised (Ctrl-C), leaving that exception set.
inline bool poll_signals(void*) { return PyErr_CheckSignals() < 0; }

// A new list with one ParseError per diagnostic, in order; every message is
// translated before the list is returned.
PyObject* diagnostics(State& st, const std::vector<parse::Diag>& diags, TokenTexts& texts,
                      PyObject* host_key = nullptr);

}  // namespace tarn::py::parser
