#include "storage/wal.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <csignal>

#include "common/error.h"
#include "common/file_util.h"
#include "test_util.h"

namespace norvex::storage {
namespace {

using norvex::testing::TempDir;
using quantizer::ProdQuantizer;

template <typename F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "<no error>";
}

class WalTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    quantizer_ = std::make_shared<const ProdQuantizer>(ProdQuantizer::create(12, 4, 42, false));
  }
  static void TearDownTestSuite() { quantizer_.reset(); }

  // A vector write with the code of a vector that depends on `k`.
  static WalEntry vector_entry(const std::string& id, int k) {
    std::vector<float> x(quantizer_->d);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::sin(float(k * 7 + i));
    const quantizer::Code code = quantizer_->quantize(x);
    return WalEntry{id,
                    code.mse_indices,
                    code.qjl_bits,
                    static_cast<float>(code.gamma),
                    1.5f,
                    R"({"properties":{"k":)" + std::to_string(k) + R"(},"document":null})",
                    false};
  }
  static WalEntry deletion(const std::string& id) { return {id, {}, {}, 0.0f, 0.0f, "{}", true}; }
  static WalEntry metadata_only(const std::string& id) {
    return {id, {}, {}, 0.0f, 0.0f, R"({"properties":{"m":true},"document":"d"})", false};
  }

  std::vector<WalEntry> three() const {
    return {vector_entry("a", 1), vector_entry("bb", 2), vector_entry("ccc", 3)};
  }

  // A log holding `entries`, written through the Wal.
  std::string write_log(const std::vector<WalEntry>& entries) const {
    auto wal = Wal::open(path_);
    wal.set_quantizer(quantizer_);
    wal.append_batch(entries, false);
    return path_;
  }

  std::vector<WalEntry> replay() const { return Wal::replay(path_, quantizer_.get()); }

  // Offsets at which each frame of the log ends.
  std::vector<std::size_t> frame_ends(const Bytes& log) const {
    std::vector<std::size_t> ends;
    std::size_t pos = 8;
    while (pos + 8 <= log.size()) {
      pos += 8 + load_le<std::uint64_t>(log.data() + pos) + 4;
      ends.push_back(pos);
    }
    return ends;
  }

  static std::shared_ptr<const ProdQuantizer> quantizer_;
  TempDir tmp_;
  const std::string path_ = tmp_.file("wal.log");
};

std::shared_ptr<const ProdQuantizer> WalTest::quantizer_;

TEST_F(WalTest, ReplaysEveryEntryKind) {
  const std::vector<WalEntry> entries = {vector_entry("v", 1), deletion("v"), metadata_only("w"),
                                         vector_entry("é", 2)};
  write_log(entries);
  EXPECT_EQ(replay(), entries);
  // Without a quantizer nothing is unpacked.
  const auto raw = Wal::replay(path_, nullptr);
  ASSERT_EQ(raw.size(), 4u);
  EXPECT_TRUE(raw[0].mse_indices.empty());
  EXPECT_EQ(raw[0].qjl_bits, entries[0].qjl_bits);
}

TEST_F(WalTest, DeletionFrameIsByteExact) {
  write_log({deletion("x")});
  const Bytes log = read_file(path_);
  Bytes expected = {'N', 'V', 'W', 'V', 5, 0, 0, 0};
  const std::size_t frame_at = expected.size();
  append_le<std::uint64_t>(expected, 44);
  append_le<std::uint64_t>(expected, 1);
  expected.push_back('x');
  append_le<std::uint64_t>(expected, 0);  // packed_mse
  append_le<std::uint64_t>(expected, 0);  // qjl_bits
  append_le<float>(expected, 0.0f);
  append_le<float>(expected, 0.0f);
  append_le<std::uint64_t>(expected, 2);
  expected.push_back('{');
  expected.push_back('}');
  expected.push_back(1);
  append_le<std::uint32_t>(expected,
                           crc32(ByteView(expected.data() + frame_at, expected.size() - frame_at)));
  EXPECT_EQ(log, expected);
}

TEST_F(WalTest, UnreadableHeadersReplayAsNothing) {
  struct Case {
    const char* name;
    std::optional<Bytes> content;  // nullopt: no file
  };
  const Case cases[] = {
      {"Missing", std::nullopt},
      {"Empty", Bytes{}},
      {"ThreeBytes", Bytes{'N', 'V', 'W'}},
      {"OtherMagic", Bytes{'N', 'V', 'W', 'X', 5, 0, 0, 0}},
      {"HeaderOnly", Bytes{'N', 'V', 'W', 'V', 5, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    remove_file(path_);
    if (c.content) write_file(path_, *c.content);
    EXPECT_TRUE(replay().empty()) << c.name;
  }
}

TEST_F(WalTest, RefusesUnsupportedVersions) {
  for (const std::uint32_t version : {0u, 3u, 6u}) {
    Bytes log = {'N', 'V', 'W', 'V'};
    append_le<std::uint32_t>(log, version);
    write_file(path_, log);
    EXPECT_EQ(error_of([&] { replay(); }),
              "Unsupported WAL version " + std::to_string(version) +
                  " (supported: 4\u20135). The WAL format changed; delete wal.log to start fresh.");
  }
  write_file(path_, Bytes{'N', 'V', 'W', 'V', 5, 0});
  EXPECT_EQ(error_of([&] { replay(); }), "failed to fill whole buffer");
}

TEST_F(WalTest, ReplaysVersionFourFramesWithoutCrc) {
  Bytes log = {'N', 'V', 'W', 'V', 4, 0, 0, 0};
  const std::vector<WalEntry> entries = {vector_entry("a", 1), deletion("b")};
  for (const WalEntry& e : entries) {
    WalEntryPacked p{
        e.id,        e.mse_indices.empty() ? Bytes{} : quantizer_->pack_mse_indices(e.mse_indices),
        e.qjl_bits,  e.gamma,
        e.norm,      e.metadata_json,
        e.is_deleted};
    RecordWriter w;
    p.encode(w);
    append_le<std::uint64_t>(log, w.bytes().size());
    log.insert(log.end(), w.bytes().begin(), w.bytes().end());
  }
  write_file(path_, log);
  EXPECT_EQ(replay(), entries);
}

TEST_F(WalTest, CutLogYieldsTheCompleteFramesBeforeTheCut) {
  const auto entries = three();
  write_log(entries);
  const Bytes log = read_file(path_);
  const auto ends = frame_ends(log);
  ASSERT_EQ(ends.size(), 3u);
  ASSERT_EQ(ends.back(), log.size());
  for (std::size_t cut = 8; cut <= log.size(); ++cut) {
    std::size_t complete = 0;
    while (complete < ends.size() && ends[complete] <= cut) ++complete;
    EXPECT_EQ(Wal::replay_bytes(ByteView(log.data(), cut), quantizer_.get()),
              std::vector<WalEntry>(entries.begin(), entries.begin() + complete))
        << "cut at " << cut;
  }
}

TEST_F(WalTest, CrcMismatchStopsAndNamesTheEntry) {
  write_log(three());
  Bytes log = read_file(path_);
  const auto ends = frame_ends(log);
  log[ends[0] + 8 + 3] ^= 0x01;  // inside the second frame's payload
  write_file(path_, log);
  ::testing::internal::CaptureStderr();
  const auto got = replay();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "WAL CRC32 mismatch at entry 1; truncating replay here.\n");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].id, "a");
}

TEST_F(WalTest, FramesThatCannotBeAppliedEndTheReplay) {
  // CRC-valid frames whose content is wrong: indices packed for another size, sign bytes of
  // another length, a payload that does not decode, a length far beyond the file.
  auto frame = [](const WalEntryPacked& p) {
    RecordWriter w;
    w.put_u64(0);
    p.encode(w);
    Bytes f = w.take();
    store_le<std::uint64_t>(f.data(), f.size() - 8);
    append_le<std::uint32_t>(f, crc32(f));
    return f;
  };
  const WalEntry good = vector_entry("good", 1);
  const WalEntryPacked good_packed{good.id,       quantizer_->pack_mse_indices(good.mse_indices),
                                   good.qjl_bits, good.gamma,
                                   good.norm,     good.metadata_json,
                                   false};
  WalEntryPacked short_mse = good_packed;
  short_mse.packed_mse.pop_back();
  WalEntryPacked long_mse = good_packed;
  long_mse.packed_mse.push_back(0);
  WalEntryPacked short_qjl = good_packed;
  short_qjl.qjl_bits.pop_back();
  Bytes bad_bool = frame(good_packed);
  bad_bool[bad_bool.size() - 5] = 7;  // is_deleted
  store_le<std::uint32_t>(bad_bool.data() + bad_bool.size() - 4,
                          crc32(ByteView(bad_bool.data(), bad_bool.size() - 4)));
  Bytes huge_len(8, 0xFF);
  huge_len.resize(64, 0);

  for (const Bytes& bad :
       {frame(short_mse), frame(long_mse), frame(short_qjl), bad_bool, huge_len}) {
    Bytes log = {'N', 'V', 'W', 'V', 5, 0, 0, 0};
    const Bytes first = frame(good_packed);
    log.insert(log.end(), first.begin(), first.end());
    log.insert(log.end(), bad.begin(), bad.end());
    log.insert(log.end(), first.begin(), first.end());
    write_file(path_, log);
    EXPECT_EQ(replay(), std::vector<WalEntry>{good});
  }
}

// truncate rewrites the file in place; reset renames a new one over it.
TEST_F(WalTest, TruncateAndResetLeaveTheHeaderAndAppendsFollowIt) {
  for (const bool atomic : {false, true}) {
    write_log(three());
    auto wal = Wal::open(path_);
    wal.set_quantizer(quantizer_);
    wal.append_batch(std::vector<WalEntry>{deletion("z")}, true);
    if (atomic) {
      wal.reset();
      EXPECT_FALSE(path_exists(path_ + ".tmp"));
    } else {
      wal.truncate();
    }
    EXPECT_EQ(read_file(path_), (Bytes{'N', 'V', 'W', 'V', 5, 0, 0, 0}));
    wal.append_batch(std::vector<WalEntry>{deletion("y")}, false);
    const Bytes log = read_file(path_);
    EXPECT_EQ(load_le<std::uint64_t>(log.data() + 8), log.size() - 8 - 8 - 4);
    EXPECT_EQ(replay(), std::vector<WalEntry>{deletion("y")});
  }
}

TEST_F(WalTest, ReopenAppendsAfterTheLastByte) {
  write_log({vector_entry("a", 1)});
  const Bytes before = read_file(path_);
  {
    auto wal = Wal::open(path_);
    wal.set_quantizer(quantizer_);
    wal.append_batch(std::vector<WalEntry>{}, true);  // writes nothing
    EXPECT_EQ(read_file(path_), before);
    wal.append_batch(std::vector<WalEntry>{metadata_only("a")}, false);
  }
  const Bytes after = read_file(path_);
  ASSERT_GT(after.size(), before.size());
  EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));
  EXPECT_EQ(replay(), (std::vector<WalEntry>{vector_entry("a", 1), metadata_only("a")}));
}

// Appends land after whatever the file holds, so a log that replays nothing although it holds
// bytes must be truncated before new appends, or they would stay hidden behind its tail.
TEST_F(WalTest, TruncatingAfterAnEmptyReplayKeepsLaterAppendsVisible) {
  write_log(three());
  Bytes log = read_file(path_);
  log.resize(20);  // the first frame is torn
  write_file(path_, log);
  ASSERT_TRUE(replay().empty());
  auto wal = Wal::open(path_);
  wal.set_quantizer(quantizer_);
  wal.truncate();
  wal.append_batch(std::vector<WalEntry>{deletion("d")}, false);
  EXPECT_EQ(replay(), std::vector<WalEntry>{deletion("d")});
}

// A batch that fails part-way is cut off again: the log keeps only the earlier batches and
// later appends stay reachable.
TEST_F(WalTest, FailedBatchLeavesNoTornFrame) {
  write_log({vector_entry("a", 1)});
  const Bytes before = read_file(path_);
  auto wal = Wal::open(path_);
  wal.set_quantizer(quantizer_);
  std::vector<WalEntry> big;
  for (int i = 0; i < 200; ++i) big.push_back(vector_entry("big" + std::to_string(i), i));

  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = saved;
  limited.rlim_cur = before.size() + 9000;  // room for the first buffer, not the whole batch
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const std::string err = error_of([&] { wal.append_batch(big, false); });
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_NE(err, "<no error>");
  EXPECT_EQ(read_file(path_), before);
  wal.append_batch(std::vector<WalEntry>{deletion("a")}, false);
  EXPECT_EQ(replay(), (std::vector<WalEntry>{vector_entry("a", 1), deletion("a")}));
}

TEST_F(WalTest, AppendRefusesIndicesItCannotPack) {
  auto wal = Wal::open(path_);
  EXPECT_THROW(wal.append_batch(std::vector<WalEntry>{vector_entry("a", 1)}, false),
               Fault);  // no quantizer
  wal.set_quantizer(quantizer_);
  WalEntry wrong = vector_entry("a", 1);
  wrong.mse_indices.pop_back();
  EXPECT_THROW(wal.append_batch(std::vector<WalEntry>{deletion("ok"), wrong}, false), Fault);
  EXPECT_EQ(read_file(path_).size(), 8u);  // nothing of the refused batch was written
}

// Every truncation and single-byte change of a log (version 5, and version 4 without CRCs)
// replays a prefix of its entries or fails with an Error; nothing crashes or faults.
TEST_F(WalTest, SurvivesEveryCutAndFlippedByte) {
  write_log({vector_entry("a", 1), deletion("a"), metadata_only("b")});
  const Bytes v5 = read_file(path_);
  Bytes v4 = {'N', 'V', 'W', 'V', 4, 0, 0, 0};
  const auto ends = frame_ends(v5);
  std::size_t start = 8;
  for (std::size_t end : ends) {
    v4.insert(v4.end(), v5.begin() + start, v5.begin() + end - 4);
    start = end;
  }
  auto replay_of = [&](ByteView log) { return Wal::replay_bytes(log, quantizer_.get()); };
  for (const Bytes& valid : {v5, v4}) {
    ::testing::internal::CaptureStderr();
    for (std::size_t cut = 0; cut < valid.size(); ++cut) {
      const ByteView log(valid.data(), cut);
      if (cut >= 4 && cut < 8) {
        EXPECT_EQ(error_of([&] { replay_of(log); }), "failed to fill whole buffer");  // no version
      } else {
        EXPECT_LE(replay_of(log).size(), 3u);
      }
    }
    for (std::size_t at = 0; at < valid.size(); ++at) {
      for (const std::uint8_t mask : {0x01, 0x80, 0xFF}) {
        Bytes damaged = valid;
        damaged[at] ^= mask;
        try {
          EXPECT_LE(replay_of(damaged).size(), 3u);
        } catch (const Error&) {
          EXPECT_TRUE(at >= 4 && at < 8) << at;  // only a damaged version fails the replay
        }
      }
    }
    ::testing::internal::GetCapturedStderr();
  }
}

}  // namespace
}  // namespace norvex::storage
