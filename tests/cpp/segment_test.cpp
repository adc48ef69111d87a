#include "storage/segment.h"

#include <gtest/gtest.h>

#include "common/error.h"
#include "common/file_util.h"
#include "test_util.h"

namespace norvex::storage {
namespace {

using norvex::testing::TempDir;

template <typename F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "<no error>";
}

std::vector<std::string> names_of(const SegmentManager& m) {
  std::vector<std::string> names;
  for (const Segment& s : m.segments()) names.push_back(s.name);
  return names;
}

const std::vector<SegmentRecord> kRecords = {{"a", false}, {"second", true}, {"", false}};

TEST(Segment, OneRecordFileIsThirtyBytes) {
  TempDir tmp;
  auto backend = StorageBackend::from_uri(tmp.path());
  auto manager = SegmentManager::open(backend);
  manager.flush_batch({{"a", false}});
  const Bytes file = backend->read("seg-00000000.bin");
  Bytes expected = {1, 0, 0, 0, 0, 0, 0, 0, 'N', 'V', 'S', 'G', 10,
                    0, 0, 0, 1, 0, 0, 0, 0, 0,   0,   0,   'a', 0};
  append_le<std::uint32_t>(expected, crc32(ByteView(expected.data() + 12, 14)));
  EXPECT_EQ(file, expected);
  EXPECT_EQ(file.size(), 30u);
  EXPECT_EQ(manager.total_disk_size(), 30u);
  ASSERT_EQ(manager.segment_count(), 1u);
  EXPECT_EQ(manager.segments()[0].record_count, 1u);
  EXPECT_TRUE(manager.segments()[0].checksummed);
}

TEST(Segment, NumbersFollowTheFilesPresent) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::size_t>> files;  // name, length
    std::string next;
    std::size_t segments;
  };
  const Case cases[] = {
      {"NewDatabase", {}, "seg-00000000.bin", 0},
      {"AfterTwoAndSeven",
       {{"seg-00000002.bin", 12}, {"seg-00000007.bin", 12}},
       "seg-00000008.bin",
       2},
      {"ShortFileIgnoredButCounted", {{"seg-00000009.bin", 5}}, "seg-00000010.bin", 0},
      {"PlusSignAccepted", {{"seg-+41.bin", 12}}, "seg-00000042.bin", 1},
      {"OtherNamesDoNotMove",
       {{"seg--3.bin", 12}, {"seg-abc.bin", 12}, {"seg-.bin", 12}},
       "seg-00000000.bin",
       3},
      {"WideNumber", {{"seg-123456788.bin", 12}}, "seg-123456789.bin", 1},
      {"TooLargeForU64", {{"seg-99999999999999999999.bin", 12}}, "seg-00000000.bin", 1},
      {"NotSegments",
       {{"seg-1.txt", 12}, {"wal.log", 12}, {"xseg-5.bin", 12}},
       "seg-00000000.bin",
       0},
  };
  for (const auto& c : cases) {
    TempDir tmp;
    auto backend = StorageBackend::from_uri(tmp.path());
    for (const auto& [name, len] : c.files) backend->write(name, Bytes(len, 0));
    auto manager = SegmentManager::open(backend);
    EXPECT_EQ(manager.segment_count(), c.segments) << c.name;
    EXPECT_EQ(SegmentManager::segment_name(manager.next_id()), c.next) << c.name;
    manager.flush_batch({{"id", false}});
    EXPECT_TRUE(backend->exists(c.next)) << c.name;
    EXPECT_EQ(manager.segment_count(), c.segments + 1) << c.name;
  }
}

TEST(Segment, NamesPadToEightDigitsWithoutTruncating) {
  EXPECT_EQ(SegmentManager::segment_name(0), "seg-00000000.bin");
  EXPECT_EQ(SegmentManager::segment_name(3), "seg-00000003.bin");
  EXPECT_EQ(SegmentManager::segment_name(123456789), "seg-123456789.bin");
}

TEST(Segment, ConsecutiveFlushesAndSortedReopen) {
  TempDir tmp;
  auto backend = StorageBackend::from_uri(tmp.path());
  auto manager = SegmentManager::open(backend);
  manager.flush_batch({});  // nothing to write
  EXPECT_EQ(manager.segment_count(), 0u);
  manager.flush_batch({{"x", false}});
  manager.flush_batch(kRecords);
  EXPECT_EQ(names_of(manager), (std::vector<std::string>{"seg-00000000.bin", "seg-00000001.bin"}));
  backend->write("seg-0.bin", Segment::encode_file({{"z", true}}));
  const auto reopened = SegmentManager::open(backend);
  EXPECT_EQ(names_of(reopened),
            (std::vector<std::string>{"seg-0.bin", "seg-00000000.bin", "seg-00000001.bin"}));
  EXPECT_EQ(reopened.segments()[2].record_count, 3u);
  EXPECT_EQ(reopened.next_id(), 2u);
  EXPECT_EQ(Segment::read_all(*backend, "seg-00000001.bin"), kRecords);
}

TEST(Segment, ExhaustedNumbersNeverOverwrite) {
  TempDir tmp;
  auto backend = StorageBackend::from_uri(tmp.path());
  const std::string last = "seg-18446744073709551615.bin";
  backend->write(last, Segment::encode_file({{"keep", false}}));
  auto manager = SegmentManager::open(backend);
  EXPECT_NE(error_of([&] { manager.flush_batch({{"x", false}}); }), "<no error>");
  EXPECT_EQ(manager.segment_count(), 1u);
  EXPECT_EQ(Segment::read_all(*backend, last), (std::vector<SegmentRecord>{{"keep", false}}));
}

TEST(Segment, ReadsLegacyFilesWithoutMagic) {
  Bytes legacy;
  append_le<std::uint64_t>(legacy, 2);
  for (const SegmentRecord& rec : {SegmentRecord{"old", true}, SegmentRecord{"b", false}}) {
    RecordWriter w;
    rec.encode(w);
    append_le<std::uint32_t>(legacy, static_cast<std::uint32_t>(w.bytes().size()));
    legacy.insert(legacy.end(), w.bytes().begin(), w.bytes().end());
  }
  EXPECT_EQ(Segment::decode_file(legacy),
            (std::vector<SegmentRecord>{{"old", true}, {"b", false}}));
  TempDir tmp;
  auto backend = StorageBackend::from_uri(tmp.path());
  backend->write("seg-00000004.bin", legacy);
  const auto manager = SegmentManager::open(backend);
  ASSERT_EQ(manager.segment_count(), 1u);
  EXPECT_FALSE(manager.segments()[0].checksummed);
  EXPECT_EQ(manager.segments()[0].record_count, 2u);
}

TEST(Segment, ReportsDamage) {
  const Bytes valid = Segment::encode_file(kRecords);
  const std::string short_file = "failed to fill whole buffer";
  const std::string crc = "segment CRC32 mismatch: record may be corrupted";
  struct Case {
    const char* name;
    std::function<void(Bytes&)> damage;
    std::string message;
  };
  const Case cases[] = {
      {"FiveBytes", [](Bytes& b) { b.resize(5); }, short_file},
      {"FlippedPayloadByte", [](Bytes& b) { b[12 + 4 + 8] ^= 0x20; }, crc},
      {"FlippedCrc", [](Bytes& b) { b[12 + 4 + 9] ^= 1; }, crc},
      {"CountTooLarge", [](Bytes& b) { store_le<std::uint64_t>(b.data(), 4); }, short_file},
      {"CountHuge", [](Bytes& b) { store_le<std::uint64_t>(b.data(), ~0ull); }, short_file},
      {"LengthHuge", [](Bytes& b) { store_le<std::uint32_t>(b.data() + 12, ~0u); }, short_file},
      {"LastCrcCut", [](Bytes& b) { b.pop_back(); }, short_file},
  };
  for (const auto& c : cases) {
    Bytes damaged = valid;
    c.damage(damaged);
    EXPECT_EQ(error_of([&] { Segment::decode_file(damaged); }), c.message) << c.name;
  }
}

// Each truncation and single-byte change of a valid file (checksummed and legacy) decodes or
// fails with an Error; nothing crashes, faults or allocates wildly.
TEST(Segment, SurvivesEveryCutAndFlippedByte) {
  Bytes checksummed = Segment::encode_file(kRecords);
  Bytes legacy;
  append_le<std::uint64_t>(legacy, 1);
  append_le<std::uint32_t>(legacy, 11);
  RecordWriter w;
  SegmentRecord{"xy", true}.encode(w);
  legacy.insert(legacy.end(), w.bytes().begin(), w.bytes().end());
  for (const Bytes& valid : {checksummed, legacy}) {
    for (std::size_t cut = 0; cut < valid.size(); ++cut) {
      EXPECT_THROW(Segment::decode_file(ByteView(valid.data(), cut)), Error) << cut;
    }
    for (std::size_t at = 0; at < valid.size(); ++at) {
      for (const std::uint8_t mask : {0x01, 0x80, 0xFF}) {
        Bytes damaged = valid;
        damaged[at] ^= mask;
        try {
          Segment::decode_file(damaged);
        } catch (const Error&) {
        }
      }
    }
  }
}

TEST(Segment, OpenFailsWhenASegmentCannotBeRead) {
  TempDir tmp;
  auto backend = StorageBackend::from_uri(tmp.path());
  create_dirs(tmp.file("seg-00000001.bin"));  // a directory cannot be read as a file
  EXPECT_THROW(SegmentManager::open(backend), Error);
}

TEST(Segment, UnreadableSegmentCountsZeroInTotalSize) {
  TempDir tmp;
  auto backend = StorageBackend::from_uri(tmp.path());
  auto manager = SegmentManager::open(backend);
  manager.flush_batch({{"a", false}});
  manager.flush_batch({{"bb", false}});
  EXPECT_EQ(manager.total_disk_size(), 61u);
  backend->remove("seg-00000000.bin");
  EXPECT_EQ(manager.total_disk_size(), 31u);
}

}  // namespace
}  // namespace norvex::storage
