#include "storage/compaction.h"

#include <gtest/gtest.h>

#include "common/error.h"
#include "common/file_util.h"
#include "storage/segment.h"
#include "test_util.h"

namespace norvex::storage {
namespace {

using norvex::testing::TempDir;

constexpr const char* kState = "compaction_state.json";

class CompactionRecovery : public ::testing::Test {
 protected:
  void SetUp() override {
    backend_ = StorageBackend::from_uri(tmp_.path());
    for (const char* name : {"seg-00000000.bin", "seg-00000001.bin"}) {
      backend_->write(name, Segment::encode_file({{name, false}}));
    }
    backend_->write("seg-00000002.bin", merged_);
  }

  void write_state(CompactionPhase phase) {
    CompactionState state{
        phase, {"seg-00000000.bin", "seg-00000001.bin", "seg-00000002.bin"}, "seg-00000002.bin"};
    write_state_text(state.to_json().dump(2));
  }
  void write_state_text(const std::string& text) { backend_->write(kState, as_bytes(text)); }

  std::vector<bool> present() const {
    return {backend_->exists("seg-00000000.bin"), backend_->exists("seg-00000001.bin"),
            backend_->exists("seg-00000002.bin"), backend_->exists(kState)};
  }

  TempDir tmp_;
  std::shared_ptr<StorageBackend> backend_;
  const Bytes merged_ = Segment::encode_file({{"a", false}, {"b", true}});
};

TEST_F(CompactionRecovery, NoStateTouchesNothing) {
  EXPECT_FALSE(Compactor(backend_).recover_if_needed());
  EXPECT_EQ(present(), (std::vector<bool>{true, true, true, false}));
}

TEST_F(CompactionRecovery, PreparedWithIntactMergeRemovesOldSegments) {
  write_state(CompactionPhase::kPrepared);
  EXPECT_TRUE(Compactor(backend_).recover_if_needed());
  EXPECT_EQ(present(), (std::vector<bool>{false, false, true, false}));
}

TEST_F(CompactionRecovery, PreparedWithTruncatedMergeRemovesOnlyTheMerge) {
  backend_->write("seg-00000002.bin", ByteView(merged_.data(), merged_.size() - 3));
  write_state(CompactionPhase::kPrepared);
  EXPECT_TRUE(Compactor(backend_).recover_if_needed());
  EXPECT_EQ(present(), (std::vector<bool>{true, true, false, false}));
}

TEST_F(CompactionRecovery, PreparedWithoutMergeRemovesOnlyTheState) {
  backend_->remove("seg-00000002.bin");
  write_state(CompactionPhase::kPrepared);
  EXPECT_TRUE(Compactor(backend_).recover_if_needed());
  EXPECT_EQ(present(), (std::vector<bool>{true, true, false, false}));
}

TEST_F(CompactionRecovery, CommittedRemovesOnlyTheState) {
  write_state(CompactionPhase::kCommitted);
  EXPECT_TRUE(Compactor(backend_).recover_if_needed());
  EXPECT_EQ(present(), (std::vector<bool>{true, true, true, false}));
}

// A state that does not decode is discarded without deleting anything, including one that
// names files outside the segments.
TEST_F(CompactionRecovery, UndecodableStateIsDiscarded) {
  write_file(tmp_.file("precious.txt"), as_bytes("keep"));
  const char* states[] = {
      "",
      "{",
      R"({"phase":"merging","old_segment_names":[],"new_segment_name":"seg-00000002.bin"})",
      R"({"phase":"prepared","old_segment_names":["seg-00000000.bin"]})",
      R"({"phase":"prepared","phase":"prepared","old_segment_names":[],"new_segment_name":"seg-00000002.bin"})",
      R"({"phase":"prepared","old_segment_names":"seg-00000000.bin","new_segment_name":"seg-00000002.bin"})",
      R"({"phase":"prepared","old_segment_names":["precious.txt"],"new_segment_name":"seg-00000002.bin"})",
      R"({"phase":"prepared","old_segment_names":["seg-/../precious.bin"],"new_segment_name":"seg-00000002.bin"})",
      R"({"phase":"prepared","old_segment_names":[],"new_segment_name":"../x/seg-1.bin"})",
      R"({"phase":"prepared","old_segment_names":[1],"new_segment_name":"seg-00000002.bin"})",
  };
  for (const char* text : states) {
    write_state_text(text);
    EXPECT_TRUE(Compactor(backend_).recover_if_needed()) << text;
    EXPECT_EQ(present(), (std::vector<bool>{true, true, true, false})) << text;
  }
  EXPECT_TRUE(path_exists(tmp_.file("precious.txt")));
}

TEST_F(CompactionRecovery, StateRoundTripsThroughJson) {
  const CompactionState state{
      CompactionPhase::kCommitted, {"seg-00000000.bin"}, "seg-00000003.bin"};
  EXPECT_EQ(
      state.to_json().dump(),
      R"({"new_segment_name":"seg-00000003.bin","old_segment_names":["seg-00000000.bin"],"phase":"committed"})");
  const auto back = CompactionState::from_json(state.to_json());
  EXPECT_EQ(back.phase, state.phase);
  EXPECT_EQ(back.old_segment_names, state.old_segment_names);
  EXPECT_EQ(back.new_segment_name, state.new_segment_name);
}

}  // namespace
}  // namespace norvex::storage
