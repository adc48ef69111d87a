#include "storage/compaction.h"

#include <optional>

#include "common/error.h"
#include "storage/segment.h"

namespace norvex::storage {
namespace {

const char* phase_name(CompactionPhase phase) {
  return phase == CompactionPhase::kPrepared ? "prepared" : "committed";
}

const std::string& segment_name_field(const Json& value, const char* field) {
  if (!value.is_string()) {
    throw Error(std::string("invalid compaction state: `") + field + "` must hold strings");
  }
  const auto& name = value.get_ref<const std::string&>();
  const bool plain = SegmentManager::is_segment_file_name(name) &&
                     name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
  if (!plain) throw Error("invalid compaction state: `" + name + "` is not a segment file name");
  return name;
}

void remove_ignoring_errors(StorageBackend& backend, const std::string& name) {
  try {
    backend.remove(name);
  } catch (const Error&) {
    // A leftover segment is harmless; the state file is what must go.
  }
}

}  // namespace

Json CompactionState::to_json() const {
  Json j = Json::object();
  j["phase"] = phase_name(phase);
  j["old_segment_names"] = old_segment_names;
  j["new_segment_name"] = new_segment_name;
  return j;
}

CompactionState CompactionState::from_json(const Json& j) {
  CompactionState state;
  const Json& phase = require_field(j, "phase");
  if (phase == "prepared") {
    state.phase = CompactionPhase::kPrepared;
  } else if (phase == "committed") {
    state.phase = CompactionPhase::kCommitted;
  } else {
    throw Error("invalid compaction state: unknown phase " + dump_compact(phase));
  }
  const Json& old_names = require_field(j, "old_segment_names");
  if (!old_names.is_array()) {
    throw Error("invalid compaction state: `old_segment_names` must be an array");
  }
  for (const Json& name : old_names) {
    state.old_segment_names.push_back(segment_name_field(name, "old_segment_names"));
  }
  state.new_segment_name =
      segment_name_field(require_field(j, "new_segment_name"), "new_segment_name");
  return state;
}

Compactor::Compactor(std::shared_ptr<StorageBackend> backend) : backend_(std::move(backend)) {
  NVX_CHECK(backend_ != nullptr, "Compactor needs a backend");
}

bool Compactor::recover_if_needed() {
  if (!backend_->exists(kStateFileName)) return false;
  std::optional<CompactionState> state;
  try {
    const Bytes text = backend_->read(kStateFileName);
    state = CompactionState::from_json(parse_json(
        as_chars(text), [](const std::vector<std::string>& path) { return path.empty(); }));
  } catch (const Error&) {
    // An unreadable or undecodable state is discarded.
  }
  if (state && state->phase == CompactionPhase::kPrepared &&
      backend_->exists(state->new_segment_name)) {
    bool merged_intact = true;
    try {
      Segment::read_all(*backend_, state->new_segment_name);
    } catch (const Error&) {
      merged_intact = false;
    }
    if (merged_intact) {
      for (const std::string& old_name : state->old_segment_names) {
        if (old_name != state->new_segment_name) remove_ignoring_errors(*backend_, old_name);
      }
    } else {
      remove_ignoring_errors(*backend_, state->new_segment_name);
    }
  }
  backend_->remove(kStateFileName);
  return true;
}

}  // namespace norvex::storage
