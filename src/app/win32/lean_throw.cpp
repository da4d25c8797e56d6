// The throw helpers that the standard library's inline code calls. The library's own versions
// sit in one object that needs every std::logic_error and std::runtime_error constructor; those
// keep a second, reference-counted std::string implementation, std::random_device and the
// library's std::string instantiations in the program: about 85 KB. These throw the same kinds of
// failure with nothing but std::exception.
//
// Running out of memory is a failure the program handles (its guards turn std::bad_alloc into
// error 7), so those helpers throw the standard types. The others report misuse (a position past
// the end, a size beyond max_size(), a string made from a null pointer, an empty std::function
// called): no handler here catches
// them by their own type; the handlers that catch std::exception still see them, and anywhere
// else they end the program as before.
#include <bits/functexcept.h>
#include <exception>
#include <new>

namespace {

class LibraryMisuse final : public std::exception {
 public:
  explicit LibraryMisuse(const char* what) noexcept : what_(what) {}
  const char* what() const noexcept override { return what_; }

 private:
  const char* what_;
};

}  // namespace

// Replacing the library's own helpers is what this file is for.
namespace std {  // NOLINT(cert-dcl58-cpp)

void __throw_bad_alloc() {
  throw bad_alloc();
}

void __throw_bad_array_new_length() {
  throw bad_array_new_length();
}

void __throw_logic_error(const char* what) {
  throw LibraryMisuse(what);
}

void __throw_length_error(const char* what) {
  throw LibraryMisuse(what);
}

void __throw_bad_function_call() {
  throw LibraryMisuse("bad_function_call");
}

// The position and size are left out of the text: nothing reads it.
void __throw_out_of_range_fmt(const char* format, ...) {
  throw LibraryMisuse(format);
}

}  // namespace std
