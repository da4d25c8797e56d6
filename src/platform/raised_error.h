// A failure raised to the caller's handler: number, source and description. The modules
// that raise (key renaming) and the procedures that catch (the disinfection procedures) share it.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace dravlin {

class RaisedError : public std::exception {
 public:
  RaisedError(std::int32_t number, std::string source, std::string description)
      : number_(number), source_(std::move(source)), description_(std::move(description)) {}

  std::int32_t number() const { return number_; }
  const std::string& source() const { return source_; }
  const std::string& description() const { return description_; }
  void set_source(std::string source) { source_ = std::move(source); }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::int32_t number_;
  std::string source_;
  std::string description_;
};

// The application's own default source; it has no colon, so handlers replace it.
inline constexpr const char* kDefaultErrorSource = "Dravlin";

}  // namespace dravlin
