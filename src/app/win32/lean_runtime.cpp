// What dravlin.exe takes in place of parts of the compiler's runtime libraries.
#include <cstdlib>
#include <exception>
#include <string>

#include "platform/win32/win32.h"
#include "platform/win32/windows_api.h"

// The default terminate handler names the exception type, which links the C++ name demangler
// and the runtime's printf engine (about 60 KB); a window program has nowhere to print it.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
  std::abort();
}
}  // namespace __gnu_cxx

// The runtime libraries import a wide kernel32 call that Windows 95, 98 and ME export only as a
// failing stub: the thread library's semaphore. Its import slot is filled here with the ANSI
// equivalent, so the linker takes no wide import.
namespace {

std::string NarrowName(LPCWSTR name) {
  return name == nullptr ? std::string() : dravlin::win32::AnsiFromWide(name);
}

HANDLE WINAPI AnsiCreateSemaphoreW(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum,
                                   LPCWSTR name) {
  const std::string narrow = NarrowName(name);
  return ::CreateSemaphoreA(attributes, initial, maximum, name ? narrow.c_str() : nullptr);
}

}  // namespace

#if defined(__i386__)
#define DRAVLIN_IMPORT_SLOT(name, argBytes) "__imp__" #name "@" #argBytes
#else
#define DRAVLIN_IMPORT_SLOT(name, argBytes) "__imp_" #name
#endif

extern "C" {
extern decltype(&AnsiCreateSemaphoreW)
    const dravlinCreateSemaphoreW __asm__(DRAVLIN_IMPORT_SLOT(CreateSemaphoreW, 16));
decltype(&AnsiCreateSemaphoreW) const dravlinCreateSemaphoreW = &AnsiCreateSemaphoreW;
}
