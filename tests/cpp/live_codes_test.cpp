#include "storage/live_codes.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "common/error.h"
#include "common/file_util.h"
#include "test_util.h"

namespace norvex::storage {
namespace {

using norvex::testing::TempDir;

constexpr std::uint64_t kSlot = 73;

std::string error_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

TEST(SlotSizes, CodeAndRawRecords) {
  struct Case {
    std::uint64_t d, b, code;
  };
  // m = ceil(D*(b-1)/8), q = ceil(D/8), size = m + q + 9 with D = padded d (1 below 2).
  const Case cases[] = {
      {100, 4, 73},                               // D=128: m=48, q=16
      {0, 4, 1 + 1 + 9},                          // D=1
      {1, 2, 1 + 1 + 9},      {3, 3, 1 + 1 + 9},  // D=4: m=1, q=1
      {128, 9, 128 + 16 + 9}, {8, 17, 16 + 1 + 9},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(code_slot_size(c.d, c.b), c.code) << "d=" << c.d << " b=" << c.b;
  }
  EXPECT_EQ(raw_slot_size(100, RerankPrecision::kF32), 400u);
  EXPECT_EQ(raw_slot_size(100, RerankPrecision::kF16), 200u);
  EXPECT_EQ(raw_slot_size(100, RerankPrecision::kDisabled), 0u);
}

TEST(LiveCodes, MissingFileOpensEmptyAndUnmapped) {
  TempDir tmp;
  auto f = LiveCodesFile::open(tmp.file("codes.bin"), kSlot);
  EXPECT_TRUE(path_exists(tmp.file("codes.bin")));
  EXPECT_EQ(file_size(tmp.file("codes.bin")), 0u);
  EXPECT_EQ(f.capacity(), 0u);
  EXPECT_EQ(f.len(), 0u);
  EXPECT_FALSE(f.is_mapped());
  EXPECT_EQ(error_text([&] { f.get_slot_mut(0); }), "mmap not initialized");
  f.flush();  // nothing to sync
  f.advise_random();
}

TEST(LiveCodes, FirstAllocationGrowsByOneStep) {
  TempDir tmp;
  auto f = LiveCodesFile::open(tmp.file("codes.bin"), kSlot);
  EXPECT_EQ(f.alloc_slot(), 0u);
  EXPECT_EQ(file_size(tmp.file("codes.bin")), kSlotGrowth * kSlot);
  EXPECT_EQ(f.capacity(), kSlotGrowth);
  EXPECT_EQ(f.len(), 1u);
  auto s = f.get_slot_mut(0);
  ASSERT_EQ(s.size(), kSlot);
  EXPECT_TRUE(std::all_of(s.begin(), s.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST(LiveCodes, AllocationPastCapacityGrowsAgainAndKeepsRecords) {
  TempDir tmp;
  auto f = LiveCodesFile::open(tmp.file("codes.bin"), kSlot);
  for (std::uint64_t i = 0; i < kSlotGrowth; ++i) {
    ASSERT_EQ(f.alloc_slot(), i);
    f.get_slot_mut(i)[0] = static_cast<std::uint8_t>(i * 7);
  }
  EXPECT_EQ(f.capacity(), kSlotGrowth);
  EXPECT_EQ(f.alloc_slot(), kSlotGrowth);
  EXPECT_EQ(f.capacity(), 2 * kSlotGrowth);
  EXPECT_EQ(file_size(tmp.file("codes.bin")), 2 * kSlotGrowth * kSlot);
  for (std::uint64_t i = 0; i < kSlotGrowth; i += 997) {
    EXPECT_EQ(f.slot(i)[0], static_cast<std::uint8_t>(i * 7));
  }
  f.flush();
  // Records reach the file itself.
  const Bytes on_disk = read_file(tmp.file("codes.bin"));
  EXPECT_EQ(on_disk[997 * kSlot], static_cast<std::uint8_t>(997 * 7));
}

TEST(LiveCodes, OpenCountsOnlyWholeSlots) {
  TempDir tmp;
  write_file(tmp.file("codes.bin"), Bytes(3 * kSlot + 10, 0xAB));
  auto f = LiveCodesFile::open(tmp.file("codes.bin"), kSlot);
  EXPECT_EQ(f.capacity(), 3u);
  EXPECT_EQ(f.len(), 3u);
  EXPECT_TRUE(f.is_mapped());
  EXPECT_EQ(f.slot(2)[kSlot - 1], 0xAB);
  EXPECT_THROW(f.slot(3), Fault);
  // Opening never truncates.
  EXPECT_EQ(file_size(tmp.file("codes.bin")), 3 * kSlot + 10);
  EXPECT_EQ(f.alloc_slot(), 3u);
  EXPECT_EQ(f.capacity(), 3 + kSlotGrowth);
}

TEST(LiveCodes, TruncateShrinksToUnmappedOrExtendsWithZeros) {
  TempDir tmp;
  auto f = LiveCodesFile::open(tmp.file("codes.bin"), kSlot);
  f.alloc_slot();
  f.get_slot_mut(0)[5] = 9;
  f.truncate_to(0);
  EXPECT_FALSE(f.is_mapped());
  EXPECT_EQ(f.capacity(), 0u);
  EXPECT_EQ(f.len(), 0u);
  EXPECT_EQ(file_size(tmp.file("codes.bin")), 0u);

  f.truncate_to(5);
  EXPECT_TRUE(f.is_mapped());
  EXPECT_EQ(f.len(), 5u);
  EXPECT_EQ(file_size(tmp.file("codes.bin")), 5 * kSlot);
  EXPECT_EQ(f.slot(0)[5], 0);  // the old record is gone, the new bytes are zero
  f.get_slot_mut(4)[0] = 1;
  f.truncate_to(2);
  f.truncate_to(40);
  EXPECT_EQ(f.capacity(), 40u);
  for (std::uint64_t s = 2; s < 40; ++s) {
    auto v = f.slot(s);
    ASSERT_TRUE(std::all_of(v.begin(), v.end(), [](std::uint8_t b) { return b == 0; }));
  }
}

TEST(LiveCodes, ClearLeavesAnEmptyUnmappedFile) {
  TempDir tmp;
  auto f = LiveCodesFile::open(tmp.file("codes.bin"), kSlot);
  f.alloc_slot();
  f.clear();
  EXPECT_FALSE(f.is_mapped());
  EXPECT_EQ(f.len(), 0u);
  EXPECT_EQ(file_size(tmp.file("codes.bin")), 0u);
  EXPECT_EQ(f.alloc_slot(), 0u);
}

TEST(LiveCodes, ReleasedFileReopensAndContinuesNumbering) {
  TempDir tmp;
  auto f = LiveCodesFile::open(tmp.file("codes.bin"), kSlot);
  for (int i = 0; i < 3; ++i) f.alloc_slot();
  f.get_slot_mut(2)[0] = 42;
  f.release_handles();
  EXPECT_FALSE(f.is_mapped());
  EXPECT_EQ(f.len(), 3u);
  EXPECT_EQ(f.capacity(), kSlotGrowth);
  EXPECT_EQ(error_text([&] { f.get_slot_mut(0); }), "mmap not initialized");
  EXPECT_EQ(f.alloc_slot(), 3u);
  EXPECT_TRUE(f.is_mapped());
  EXPECT_EQ(f.slot(2)[0], 42);

  // Released at full capacity: the allocation grows through a fresh handle.
  f.truncate_to(4);
  f.release_handles();
  EXPECT_EQ(f.alloc_slot(), 4u);
  EXPECT_EQ(f.capacity(), 4 + kSlotGrowth);
}

TEST(LiveCodes, ReopenAfterRenameSeesTheNewFile) {
  // The compaction path: fill a temporary file, release the current one, rename over it.
  TempDir tmp;
  auto live = LiveCodesFile::open(tmp.file("codes.bin"), kSlot);
  live.alloc_slot();
  live.get_slot_mut(0)[0] = 1;
  auto next = LiveCodesFile::open(tmp.file("codes.bin.tmp"), kSlot);
  next.clear();
  next.alloc_slot();
  next.get_slot_mut(0)[0] = 2;
  next.truncate_to(1);
  next.flush();
  next.release_handles();
  live.release_handles();
  rename_file(tmp.file("codes.bin.tmp"), tmp.file("codes.bin"));
  live = LiveCodesFile::open(tmp.file("codes.bin"), kSlot);
  EXPECT_EQ(live.len(), 1u);
  EXPECT_EQ(live.slot(0)[0], 2);
}

TEST(LiveCodes, SetLenRefusesMoreSlotsThanTheFileHolds) {
  TempDir tmp;
  auto f = LiveCodesFile::open(tmp.file("codes.bin"), kSlot);
  f.alloc_slot();
  f.set_len(0);
  EXPECT_EQ(f.alloc_slot(), 0u);
  f.set_len(kSlotGrowth);
  EXPECT_THROW(f.set_len(kSlotGrowth + 1), Error);
  EXPECT_EQ(f.len(), kSlotGrowth);
}

TEST(LiveCodes, ZeroSizedSlotsNeedNoMapping) {
  TempDir tmp;
  auto f = LiveCodesFile::open(tmp.file("empty.bin"), 0);
  EXPECT_EQ(f.alloc_slot(), 0u);
  EXPECT_EQ(f.alloc_slot(), 1u);
  EXPECT_TRUE(f.get_slot_mut(1).empty());
  EXPECT_EQ(file_size(tmp.file("empty.bin")), 0u);
}

TEST(LiveCodes, OpenFailureIsAnErrorWithTheSystemText) {
  TempDir tmp;
  const std::string text =
      error_text([&] { LiveCodesFile::open(tmp.file("no/such/dir/codes.bin"), kSlot); });
  EXPECT_NE(text.find("No such file or directory"), std::string::npos) << text;
}

}  // namespace
}  // namespace norvex::storage
