// Runs every registered test case; the last line reads "N passed, M failed".
#include <cstdio>
#include <exception>

#include "check.h"

namespace tarn::testing {
namespace {
int failures_in_case = 0;
std::string data_directory = "tests/data";
}  // namespace

std::vector<TestCase>& registry() {
  static std::vector<TestCase> cases;
  return cases;
}

void report_failure(const char* file, int line, const std::string& what) {
  ++failures_in_case;
  std::printf("  %s:%d: check failed: %s\n", file, line, what.c_str());
}

const std::string& data_dir() { return data_directory; }

}  // namespace tarn::testing

int main(int argc, char** argv) {
  using namespace tarn::testing;
  if (argc > 1) data_directory = argv[1];
  int passed = 0, failed = 0;
  for (const TestCase& t : registry()) {
    failures_in_case = 0;
    try {
      t.body();
    } catch (const std::exception& e) {
      report_failure(t.name, 0, std::string("exception: ") + e.what());
    }
    if (failures_in_case == 0) {
      ++passed;
    } else {
      ++failed;
      std::printf("FAILED: %s\n", t.name);
    }
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
