// The rehearsal as one JSON document (--json): the same run as the transcript, as records a
// script can read. docs/rehearsal-exports.md describes it, docs/rehearsal.schema.json checks
// it.
#pragma once

#include <nlohmann/json.hpp>
#include <vector>

#include "app/rehearsal/machine_changes.h"
#include "sim/persist/export_machine.h"

namespace dravlin::rehearsal {

using Json = nlohmann::ordered_json;

// Raised when a record's layout changes in a way a reader must know.
inline constexpr int kJsonSchemaVersion = 1;

Json RegistryChangesJson(const std::vector<RegChange>& changes);
Json FileChangesJson(const std::vector<FileChange>& changes);
Json InferenceJson(const sim::persist::Inference& inference);

}  // namespace dravlin::rehearsal
