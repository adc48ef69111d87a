// compaction_state.json: parsing and decoding the merge record that recovery acts on; what
// decodes names only plain segment files and survives its JSON form.
#include "fuzz_util.h"
#include "storage/compaction.h"
#include "storage/segment.h"

using namespace norvex;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  storage::CompactionState state;
  if (fuzz::refused([&] {
        state = storage::CompactionState::from_json(parse_json(fuzz::text_of(data, size)));
      }))
    return 0;
  FUZZ_REQUIRE(storage::SegmentManager::is_segment_file_name(state.new_segment_name));
  FUZZ_REQUIRE(state.new_segment_name.find_first_of(std::string("/\0", 2)) == std::string::npos);
  for (const auto& name : state.old_segment_names) {
    FUZZ_REQUIRE(storage::SegmentManager::is_segment_file_name(name));
    FUZZ_REQUIRE(name.find_first_of(std::string("/\0", 2)) == std::string::npos);
  }
  auto again = storage::CompactionState::from_json(state.to_json());
  FUZZ_REQUIRE(again.new_segment_name == state.new_segment_name);
  FUZZ_REQUIRE(again.old_segment_names == state.old_segment_names);
  FUZZ_REQUIRE(again.phase == state.phase);
  return 0;
}
