// dravlin_lean_throw_tests.exe: the Windows program's own throw helpers, run under Wine.
// Running out of memory must still reach the program's guards as std::bad_alloc, misuse only a
// std::exception handler. Prints each case; exit status 1 on a wrong one. (No test framework: its
// stream library would link the library's helpers beside ours.)
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

template <class Body>
static const char* CaughtAs(Body&& body) {
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

int main() {
  // Volatile, so that the compiler cannot see the failures coming and drop the calls.
  volatile std::size_t extra = 1;
  const std::size_t huge = ~std::size_t{0} / 2 + extra;
  const char* volatile none = nullptr;
  std::allocator<int> ints;
  // Beyond the most ints an allocation may hold, the allocator reports running out of memory.
  const std::size_t intsMax = static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(int);
  const std::string abc = "abc";
  const struct {
    const char *name, *expected, *actual;
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
    status |= ok ? 0 : 1;
  }
  return status;
}
