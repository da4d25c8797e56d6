// Where a field of machine.json stands, so that a message can point the reader at its line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dravlin::sim::persist {

// The line where the member `"a"` (then `"b"` after it, ...) is written; 0 when not found.
int LineOfMember(std::string_view text, const std::vector<std::string>& names);

}  // namespace dravlin::sim::persist
