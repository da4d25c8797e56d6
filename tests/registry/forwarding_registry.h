// A registry that passes every call on to another one; tests override single calls to play
// a registry that misbehaves in one particular way.
#pragma once

#include "platform/registry.h"

namespace dravlin::test {

class ForwardingRegistry : public platform::Registry {
 public:
  explicit ForwardingRegistry(platform::Registry& inner) : inner_(inner) {}

  platform::Status RegOpenKeyExA(platform::HKey k, const std::string& s, std::uint32_t o,
                                 std::uint32_t a, platform::HKey* r) override {
    return inner_.RegOpenKeyExA(k, s, o, a, r);
  }
  platform::Status RegOpenKeyA(platform::HKey k, const std::string& s, platform::HKey* r) override {
    return inner_.RegOpenKeyA(k, s, r);
  }
  platform::Status RegCreateKeyExA(platform::HKey k, const std::string& s, std::uint32_t o,
                                   std::uint32_t a, platform::HKey* r, std::uint32_t* d) override {
    return inner_.RegCreateKeyExA(k, s, o, a, r, d);
  }
  platform::Status RegCloseKey(platform::HKey k) override { return inner_.RegCloseKey(k); }
  platform::Status RegFlushKey(platform::HKey k) override { return inner_.RegFlushKey(k); }
  platform::Status RegQueryValueExA(platform::HKey k, const std::string& n, std::uint32_t* t,
                                    std::uint8_t* d, std::uint32_t* c) override {
    return inner_.RegQueryValueExA(k, n, t, d, c);
  }
  platform::Status RegSetValueExA(platform::HKey k, const std::string& n, std::uint32_t t,
                                  const std::uint8_t* d, std::uint32_t c) override {
    return inner_.RegSetValueExA(k, n, t, d, c);
  }
  platform::Status RegDeleteValueA(platform::HKey k, const std::string& n) override {
    return inner_.RegDeleteValueA(k, n);
  }
  platform::Status RegDeleteKeyA(platform::HKey k, const std::string& s) override {
    return inner_.RegDeleteKeyA(k, s);
  }
  platform::Status RegEnumKeyExA(platform::HKey k, std::uint32_t i, char* n,
                                 std::uint32_t* c) override {
    return inner_.RegEnumKeyExA(k, i, n, c);
  }
  platform::Status RegEnumValueA(platform::HKey k, std::uint32_t i, char* n, std::uint32_t* c,
                                 std::uint32_t* t, std::uint8_t* d, std::uint32_t* cb) override {
    return inner_.RegEnumValueA(k, i, n, c, t, d, cb);
  }
  platform::Status RegQueryInfoKeyA(platform::HKey k, std::uint32_t* s, std::uint32_t* m,
                                    std::uint32_t* v, std::uint32_t* vn,
                                    std::uint32_t* vl) override {
    return inner_.RegQueryInfoKeyA(k, s, m, v, vn, vl);
  }
  platform::Status RegSaveKeyA(platform::HKey k, const std::string& f) override {
    return inner_.RegSaveKeyA(k, f);
  }
  platform::Status RegRestoreKeyA(platform::HKey k, const std::string& f,
                                  std::uint32_t fl) override {
    return inner_.RegRestoreKeyA(k, f, fl);
  }

 protected:
  platform::Registry& inner_;
};

}  // namespace dravlin::test
