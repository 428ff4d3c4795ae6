// A minimal test registry for the native tests: every TEST_CASE in any file
// of tests/native is linked into one executable whose main runs them all.
#pragma once
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace tarn::testing {

struct TestCase {
  const char* name;
  void (*body)();
};

std::vector<TestCase>& registry();
// Records a failed check in the running test case.
void report_failure(const char* file, int line, const std::string& what);
// Directory of the test data (tests/data), from the command line.
const std::string& data_dir();

struct Registrar {
  Registrar(const char* name, void (*body)()) { registry().push_back({name, body}); }
};

template <class A, class B>
void check_equal(const A& a, const B& b, const char* expr_a, const char* expr_b, const char* file, int line) {
  if (a == b) return;
  std::ostringstream msg;
  msg << expr_a << " == " << expr_b;
  if constexpr (requires(std::ostream& o) { o << a; o << b; }) msg << "  (" << a << " vs " << b << ")";
  report_failure(file, line, msg.str());
}

}  // namespace tarn::testing

#define TARN_CONCAT2(a, b) a##b
#define TARN_CONCAT(a, b) TARN_CONCAT2(a, b)
#define TEST_CASE(name)                                                                         \
  static void TARN_CONCAT(test_body_, __LINE__)();                                              \
  static ::tarn::testing::Registrar TARN_CONCAT(test_reg_, __LINE__)(name, &TARN_CONCAT(test_body_, __LINE__)); \
  static void TARN_CONCAT(test_body_, __LINE__)()
#define CHECK(...) \
  ((__VA_ARGS__) ? (void)0 : ::tarn::testing::report_failure(__FILE__, __LINE__, #__VA_ARGS__))
#define CHECK_EQ(a, b) ::tarn::testing::check_equal((a), (b), #a, #b, __FILE__, __LINE__)
