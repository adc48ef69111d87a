// Recovery of an interrupted merge of segment files, recorded in compaction_state.json in the
// storage backend's root:
//
//   {"phase": "prepared" | "committed",
//    "old_segment_names": ["seg-00000000.bin", ...],
//    "new_segment_name": "seg-00000005.bin"}
//
// Writing a merge is not part of the system; only finishing or rolling one back is.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/json.h"
#include "storage/backend.h"

namespace norvex::storage {

enum class CompactionPhase { kPrepared, kCommitted };

struct CompactionState {
  CompactionPhase phase = CompactionPhase::kPrepared;
  std::vector<std::string> old_segment_names;
  std::string new_segment_name;

  Json to_json() const;
  // Throws Error for a missing or repeated field, a wrong type, an unknown phase, or a name
  // that is not a plain segment file name in the root ("seg-*.bin" without "/"): recovery
  // deletes the files it names, so it must never reach outside the segments.
  static CompactionState from_json(const Json& j);
};

class Compactor {
 public:
  static constexpr const char* kStateFileName = "compaction_state.json";

  explicit Compactor(std::shared_ptr<StorageBackend> backend);

  // Runs at every open. Without a state file returns false and touches nothing. Otherwise:
  // "prepared" with a merged segment that reads back whole deletes the old segments (other
  // than the merged one); a merged segment that fails to read is deleted instead; a missing
  // merged segment deletes nothing. "committed" and an unreadable or undecodable state do
  // nothing more. Then the state file is deleted and true returned. Failures to delete
  // segments are ignored; a failure to delete the state file is thrown as Error.
  bool recover_if_needed();

 private:
  std::shared_ptr<StorageBackend> backend_;
};

}  // namespace norvex::storage
