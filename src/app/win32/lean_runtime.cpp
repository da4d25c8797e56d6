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

// The runtime libraries import a few wide kernel32 calls that Windows 95, 98 and ME export only
// as failing stubs: the thread library's semaphore and the module lookups of its rand_s. These
// import slots are filled here with ANSI equivalents, so the linker takes no wide import.
namespace {

std::string NarrowName(LPCWSTR name) {
  return name == nullptr ? std::string() : dravlin::win32::AnsiFromWide(name);
}

HANDLE WINAPI AnsiCreateSemaphoreW(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum,
                                   LPCWSTR name) {
  const std::string narrow = NarrowName(name);
  return ::CreateSemaphoreA(attributes, initial, maximum, name ? narrow.c_str() : nullptr);
}

HMODULE WINAPI AnsiLoadLibraryW(LPCWSTR name) {
  const std::string narrow = NarrowName(name);
  return ::LoadLibraryA(name ? narrow.c_str() : nullptr);
}

HMODULE WINAPI AnsiGetModuleHandleW(LPCWSTR name) {
  const std::string narrow = NarrowName(name);
  return ::GetModuleHandleA(name ? narrow.c_str() : nullptr);
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
extern decltype(&AnsiLoadLibraryW)
    const dravlinLoadLibraryW __asm__(DRAVLIN_IMPORT_SLOT(LoadLibraryW, 4));
extern decltype(&AnsiGetModuleHandleW)
    const dravlinGetModuleHandleW __asm__(DRAVLIN_IMPORT_SLOT(GetModuleHandleW, 4));
decltype(&AnsiCreateSemaphoreW) const dravlinCreateSemaphoreW = &AnsiCreateSemaphoreW;
decltype(&AnsiLoadLibraryW) const dravlinLoadLibraryW = &AnsiLoadLibraryW;
decltype(&AnsiGetModuleHandleW) const dravlinGetModuleHandleW = &AnsiGetModuleHandleW;
}
