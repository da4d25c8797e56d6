// lean_throw_check.exe: the Windows program's own throw helpers, run under Wine. Each failure of
// the standard library must reach the handler it reached before: out of memory the program's
// guards, misuse only a std::exception handler. Prints each case; exit status 1 on a wrong one.
// (No test framework: its stream library would link the library's helpers beside ours.)
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

template <class Body>
const char* CaughtAs(Body&& body) {
  try {
    body();
  } catch (const std::bad_array_new_length&) {
    return "bad_array_new_length";
  } catch (const std::bad_alloc&) {
    return "bad_alloc";
  } catch (const std::exception&) {
    return "exception";
  }
  return "nothing";
}

}  // namespace

int main() {
  // Volatile, so that the compiler cannot see the failures coming and drop the calls.
  volatile std::size_t extra = 1;
  const std::size_t huge = ~std::size_t{0} / 2 + extra;
  const char* volatile none = nullptr;
  std::allocator<int> ints;
  // The most ints an allocation may hold; beyond it the allocator reports running out of memory.
  const std::size_t intsMax = static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(int);
  const std::string abc = "abc";

  const struct {
    const char* name;
    const char* expected;
    const char* actual;
  } cases[] = {
      {"position past the end", "exception", CaughtAs([&] { (void)abc.substr(3 + extra); })},
      {"size beyond max_size", "exception", CaughtAs([&] { std::vector<char>().reserve(huge); })},
      {"string from null", "exception", CaughtAs([&] { std::string{none}; })},
      {"empty function called", "exception", CaughtAs([&] { std::function<void()>{}(); })},
      {"allocation too large", "bad_alloc",
       CaughtAs([&] { (void)ints.allocate(intsMax + extra); })},
      {"array length overflow", "bad_array_new_length",
       CaughtAs([&] { (void)ints.allocate(huge); })},
  };
  int status = 0;
  for (const auto& c : cases) {
    const bool ok = std::strcmp(c.expected, c.actual) == 0;
    std::printf("%s %s: caught as %s\n", ok ? "ok    " : "WRONG ", c.name, c.actual);
    if (!ok) status = 1;
  }
  return status;
}
