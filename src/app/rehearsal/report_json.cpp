// The records of the JSON document that are not told as the run goes: what changed, and what
// an export's machine was given.
#include "app/rehearsal/report_json.h"

#include "platform/ansi_names.h"

namespace dravlin::rehearsal {

namespace {

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0xF]);
  }
  return hex;
}

Json ValueJson(const std::optional<RegValue>& v) {
  if (!v) return nullptr;
  Json out = {{"type", TypeName(v->type)}, {"shown", DescribeValue(*v)}, {"hex", Hex(v->data)}};
  if (!v->wide.empty()) out["utf16Hex"] = Hex(v->wide);
  return out;
}

const char* KindName(RegChange::Kind kind) {
  switch (kind) {
    case RegChange::Kind::KeyAdded:
      return "keyAdded";
    case RegChange::Kind::KeyRemoved:
      return "keyRemoved";
    case RegChange::Kind::ValueAdded:
      return "valueAdded";
    case RegChange::Kind::ValueRemoved:
      return "valueRemoved";
    case RegChange::Kind::ValueChanged:
      return "valueChanged";
  }
  return "";
}

}  // namespace

Json RegistryChangesJson(const std::vector<RegChange>& changes) {
  Json out = Json::array();
  for (const RegChange& c : changes) {
    const bool isValue =
        c.kind != RegChange::Kind::KeyAdded && c.kind != RegChange::Kind::KeyRemoved;
    out.push_back({{"change", KindName(c.kind)},
                   {"key", platform::AnsiToUtf8(c.key)},
                   {"value", isValue ? Json(platform::AnsiToUtf8(c.value)) : Json(nullptr)},
                   {"before", ValueJson(c.before)},
                   {"after", ValueJson(c.after)}});
  }
  return out;
}

Json FileChangesJson(const std::vector<FileChange>& changes) {
  Json out = Json::array();
  for (const FileChange& c : changes) {
    const char* kind = c.kind == FileChange::Kind::Added     ? "added"
                       : c.kind == FileChange::Kind::Deleted ? "deleted"
                                                             : "changed";
    out.push_back({{"change", kind}, {"path", platform::AnsiToUtf8(c.path)}, {"detail", c.detail}});
  }
  return out;
}

Json InferenceJson(const sim::persist::Inference& inference) {
  Json items = Json::array();
  for (const auto& i : inference.items) {
    items.push_back({{"what", i.what}, {"value", i.value}, {"source", i.source}});
  }
  return {{"format", inference.format},
          {"keys", inference.keys},
          {"items", std::move(items)},
          {"placeholders", inference.placeholders},
          {"notes", inference.notes}};
}

}  // namespace dravlin::rehearsal
