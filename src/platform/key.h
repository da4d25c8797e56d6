// A registry key handle that closes itself.
#pragma once

#include <utility>

#include "platform/registry.h"

namespace dravlin::platform {

class UniqueKey {
 public:
  explicit UniqueKey(Registry& registry) : registry_(&registry) {}
  UniqueKey(const UniqueKey&) = delete;
  UniqueKey& operator=(const UniqueKey&) = delete;
  UniqueKey(UniqueKey&& other) noexcept
      : registry_(other.registry_), key_(std::exchange(other.key_, 0)) {}
  UniqueKey& operator=(UniqueKey&& other) noexcept {
    if (this != &other) {
      Reset();
      registry_ = other.registry_;
      key_ = std::exchange(other.key_, 0);
    }
    return *this;
  }
  ~UniqueKey() { Reset(); }

  HKey get() const { return key_; }
  explicit operator bool() const { return key_ != 0; }
  // For the out-parameter of an open or create call.
  HKey* put() {
    Reset();
    return &key_;
  }

  // Closes now and returns RegCloseKey's status (ERROR_SUCCESS when nothing was open).
  Status Close() {
    if (key_ == 0) return ERROR_SUCCESS;
    const HKey key = std::exchange(key_, 0);
    return IsPredefinedKey(key) ? ERROR_SUCCESS : registry_->RegCloseKey(key);
  }

 private:
  void Reset() { (void)Close(); }

  Registry* registry_;
  HKey key_ = 0;
};

}  // namespace dravlin::platform
