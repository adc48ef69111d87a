#include "storage/id_pool.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_map>

#include "common/error.h"
#include "common/file_util.h"
#include "storage/backend.h"
#include "storage/encoding.h"
#include "test_util.h"

namespace norvex::storage {
namespace {

using norvex::testing::TempDir;
using Listing = std::vector<std::pair<std::string, std::uint32_t>>;

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

// A small pool with dead slots, a re-inserted id, an empty id and a multi-byte id.
IdPool sample_pool() {
  IdPool pool;
  for (const char* id : {"alpha", "beta", "", "gamma", "δέλτα", "epsilon"}) pool.insert(id);
  pool.delete_by_id("beta");
  pool.delete_by_id("gamma");
  pool.insert("beta");
  return pool;
}

TEST(IdPool, InsertingAnExistingIdReturnsItsSlot) {
  IdPool pool;
  EXPECT_EQ(pool.insert("a"), 0u);
  EXPECT_EQ(pool.insert("b"), 1u);
  EXPECT_EQ(pool.insert("a"), 0u);
  EXPECT_EQ(pool.slot_count(), 2u);
  EXPECT_EQ(pool.live_count(), 2u);
}

TEST(IdPool, ReinsertAfterDeleteGetsANewSlot) {
  IdPool pool;
  pool.insert("x");
  EXPECT_TRUE(pool.delete_by_id("x"));
  EXPECT_EQ(pool.get_slot("x"), std::nullopt);
  EXPECT_EQ(pool.insert("x"), 1u);
  EXPECT_FALSE(pool.is_alive(0));
  EXPECT_EQ(pool.get_slot("x"), 1u);
  EXPECT_EQ(pool.id_of(0), std::nullopt);
  EXPECT_EQ(pool.id_of(1), "x");
  EXPECT_EQ(pool.id_of(2), std::nullopt);
  EXPECT_EQ(pool.live_count(), 1u);
}

TEST(IdPool, RefusesTooLongAndNonUtf8Ids) {
  IdPool pool;
  const std::string longest(65535, 'a');
  EXPECT_EQ(pool.insert(longest), 0u);
  EXPECT_EQ(pool.get_slot(longest), 0u);
  EXPECT_EQ(error_of([&] { pool.insert(std::string(65536, 'a')); }),
            "id is too long (65536 bytes, max 65535)");
  EXPECT_EQ(error_of([&] { pool.insert("\xC3("); }), "id is not valid UTF-8");
  EXPECT_EQ(pool.slot_count(), 1u);
}

TEST(IdPool, EmptyIdIsAnOrdinaryId) {
  EXPECT_EQ(fnv1a64(""), 0xcbf29ce484222325ull);
  EXPECT_EQ(fnv1a64("a"), 0xaf63dc4c8601ec8cull);  // published FNV-1a test vector
  IdPool pool;
  pool.insert("z");
  EXPECT_EQ(pool.insert(""), 1u);
  EXPECT_EQ(pool.get_slot(""), 1u);
  EXPECT_EQ(pool.id_of(1), "");
}

TEST(IdPool, DeleteUnknownOrTwice) {
  IdPool pool;
  pool.insert("a");
  EXPECT_FALSE(pool.delete_by_id("nope"));
  EXPECT_EQ(pool.live_count(), 1u);
  EXPECT_TRUE(pool.delete_by_id("a"));
  EXPECT_FALSE(pool.delete_by_id("a"));
  EXPECT_EQ(pool.live_count(), 0u);
  EXPECT_EQ(pool.slot_count(), 1u);
}

TEST(IdPool, EveryDeadPoolListsNothing) {
  IdPool pool;
  for (const char* id : {"a", "b", "c"}) pool.insert(id);
  EXPECT_EQ(pool.live_slots(), (std::vector<std::uint32_t>{0, 1, 2}));
  pool.delete_by_id("b");
  EXPECT_EQ(pool.live_slots(), (std::vector<std::uint32_t>{0, 2}));
  for (const char* id : {"a", "c"}) pool.delete_by_id(id);
  EXPECT_TRUE(pool.iter_active().empty());
  EXPECT_TRUE(pool.live_slots().empty());
  EXPECT_EQ(pool.live_count(), 0u);
}

TEST(IdPool, ListsAliveIdsInSlotOrder) {
  EXPECT_EQ(sample_pool().iter_active(),
            (Listing{{"alpha", 0}, {"", 2}, {"δέλτα", 4}, {"epsilon", 5}, {"beta", 6}}));
  EXPECT_EQ(sample_pool().live_slots(), (std::vector<std::uint32_t>{0, 2, 4, 5, 6}));
}

// Two ids with one 64-bit FNV-1a hash, found with Brent's cycle search over 16-hex-digit ids.
constexpr const char* kCollidingA = "1760b8cd5a84fdb4";
constexpr const char* kCollidingB = "cf84677cb6c06f5a";

TEST(IdPool, IdsWithTheSameHashAreBothFound) {
  ASSERT_NE(std::string(kCollidingA), kCollidingB);
  ASSERT_EQ(fnv1a64(kCollidingA), fnv1a64(kCollidingB));
  IdPool pool;
  pool.insert("other");
  EXPECT_EQ(pool.insert(kCollidingA), 1u);
  EXPECT_EQ(pool.insert(kCollidingB), 2u);
  EXPECT_EQ(pool.insert(kCollidingA), 1u);
  EXPECT_EQ(pool.get_slot(kCollidingA), 1u);
  EXPECT_EQ(pool.get_slot(kCollidingB), 2u);

  // Reloaded, the shared hash still finds both.
  IdPool reloaded = IdPool::decode(pool.encode());
  EXPECT_EQ(reloaded.get_slot(kCollidingA), 1u);
  EXPECT_EQ(reloaded.get_slot(kCollidingB), 2u);

  EXPECT_TRUE(pool.delete_by_id(kCollidingA));
  EXPECT_EQ(pool.get_slot(kCollidingA), std::nullopt);
  EXPECT_EQ(pool.get_slot(kCollidingB), 2u);
  EXPECT_EQ(pool.insert(kCollidingA), 3u);
  EXPECT_TRUE(pool.delete_by_id(kCollidingB));
  EXPECT_EQ(pool.get_slot(kCollidingA), 3u);
}

TEST(IdPool, AgreesWithAMapThroughManyInsertsAndDeletes) {
  // Enough traffic to grow the lookup table several times and shift runs on deletion.
  std::mt19937 rng(11);
  IdPool pool;
  std::unordered_map<std::string, std::uint32_t> model;
  for (int step = 0; step < 20000; ++step) {
    const std::string id = "id" + std::to_string(rng() % 3000);
    if (rng() % 3 == 0) {
      EXPECT_EQ(pool.delete_by_id(id), model.erase(id) == 1);
    } else {
      const std::uint32_t slot = pool.insert(id);
      const auto [it, added] = model.emplace(id, slot);
      if (added) {
        EXPECT_EQ(slot, pool.slot_count() - 1);
      } else {
        EXPECT_EQ(slot, it->second);
      }
    }
  }
  EXPECT_EQ(pool.live_count(), model.size());
  for (int i = 0; i < 3000; ++i) {
    const std::string id = "id" + std::to_string(i);
    const auto it = model.find(id);
    ASSERT_EQ(pool.get_slot(id),
              it == model.end() ? std::nullopt : std::optional<std::uint32_t>(it->second));
  }
  const IdPool reloaded = IdPool::decode(pool.encode());
  EXPECT_EQ(reloaded.iter_active(), pool.iter_active());
}

TEST(IdPool, ReloadAnswersAsBeforeAndRecountsTheLive) {
  const IdPool pool = sample_pool();
  Bytes file = pool.encode();
  store_le<std::uint64_t>(file.data() + file.size() - 8, 999);  // a wrong stored active_count
  const IdPool reloaded = IdPool::decode(file);
  EXPECT_EQ(reloaded.live_count(), 5u);
  EXPECT_EQ(reloaded.slot_count(), pool.slot_count());
  EXPECT_EQ(reloaded.iter_active(), pool.iter_active());
  for (const char* id : {"alpha", "beta", "", "gamma", "δέλτα", "epsilon", "zeta"}) {
    EXPECT_EQ(reloaded.get_slot(id), pool.get_slot(id)) << id;
  }
  EXPECT_EQ(reloaded.encode(), pool.encode());
}

TEST(IdPool, FileLayout) {
  IdPool pool;
  pool.insert("ab");
  pool.insert("c");
  pool.delete_by_id("ab");
  RecordWriter w;
  w.put_u64(3);
  w.put_raw(as_bytes("abc"));
  w.put_u64(2), w.put_u32(0), w.put_u32(2);                           // offsets
  w.put_u64(2), w.put_u16(2), w.put_u16(1);                           // lens
  w.put_u64(2), w.put_u64(fnv1a64("ab")), w.put_u64(fnv1a64("c"));    // hashes
  w.put_u64(2), w.put_u8(0), w.put_u8(1);                             // alive
  w.put_u64(1), w.put_u64(fnv1a64("c")), w.put_u64(1), w.put_u32(1);  // lookup
  w.put_u64(1);                                                       // active_count
  EXPECT_EQ(pool.encode(), w.bytes());
}

struct BadFile {
  const char* name;
  std::function<void(RecordWriter&)> write;
};

TEST(IdPool, MalformedFilesAreDecodeErrors) {
  auto header = [](RecordWriter& w, std::uint64_t n_bytes, std::uint32_t offset, std::uint16_t len,
                   std::uint8_t alive) {
    w.put_u64(n_bytes);
    for (std::uint64_t i = 0; i < n_bytes; ++i) w.put_u8('x');
    w.put_u64(1), w.put_u32(offset);
    w.put_u64(1), w.put_u16(len);
    w.put_u64(1), w.put_u64(fnv1a64("x"));
    w.put_u64(1), w.put_u8(alive);
  };
  const BadFile cases[] = {
      {"alive flag 2", [&](RecordWriter& w) { header(w, 1, 0, 1, 2), w.put_u64(0), w.put_u64(1); }},
      {"id past the byte buffer",
       [&](RecordWriter& w) { header(w, 1, 0, 2, 1), w.put_u64(0), w.put_u64(1); }},
      {"offset past the byte buffer",
       [&](RecordWriter& w) { header(w, 1, 5, 0, 0), w.put_u64(0), w.put_u64(1); }},
      {"arrays of different lengths",
       [](RecordWriter& w) {
         w.put_u64(0);
         w.put_u64(2), w.put_u32(0), w.put_u32(0);
         w.put_u64(1), w.put_u16(0);
         w.put_u64(1), w.put_u64(0);
         w.put_u64(1), w.put_u8(0);
         w.put_u64(0), w.put_u64(0);
       }},
      {"huge byte count", [](RecordWriter& w) { w.put_u64(~0ull), w.put_u64(0); }},
      {"huge lookup count",
       [&](RecordWriter& w) { header(w, 1, 0, 1, 1), w.put_u64(1ull << 60), w.put_u64(1); }},
      {"missing active_count", [&](RecordWriter& w) { header(w, 1, 0, 1, 1), w.put_u64(0); }},
      {"empty file", [](RecordWriter&) {}},
  };
  for (const BadFile& c : cases) {
    RecordWriter w;
    c.write(w);
    EXPECT_THROW(IdPool::decode(w.bytes()), DecodeError) << c.name;
  }
}

TEST(IdPool, InvalidUtf8IdIsNeverMatchedOrListed) {
  // Stored bytes that are not UTF-8 load, but the slot stays invisible.
  RecordWriter w;
  w.put_u64(2), w.put_u8(0xFF), w.put_u8('k');
  w.put_u64(2), w.put_u32(0), w.put_u32(1);
  w.put_u64(2), w.put_u16(1), w.put_u16(1);
  w.put_u64(2), w.put_u64(fnv1a64("\xFF")), w.put_u64(fnv1a64("k"));
  w.put_u64(2), w.put_u8(1), w.put_u8(1);
  w.put_u64(0), w.put_u64(2);
  const IdPool pool = IdPool::decode(w.bytes());
  EXPECT_EQ(pool.get_slot("\xFF"), std::nullopt);
  EXPECT_EQ(pool.id_of(0), std::nullopt);
  EXPECT_EQ(pool.iter_active(), (Listing{{"k", 1}}));
  EXPECT_EQ(pool.live_slots(), (std::vector<std::uint32_t>{1}));
}

TEST(IdPool, DamagedFilesDecodeOrFailCleanly) {
  const Bytes good = sample_pool().encode();
  auto try_decode = [](const Bytes& data) {
    try {
      const IdPool pool = IdPool::decode(data);
      // Whatever decoded must be usable (stored hashes are trusted, so a damaged hash only
      // hides its id).
      for (const auto& [id, slot] : pool.iter_active()) pool.get_slot(id);
      for (std::uint32_t s = 0; s <= pool.slot_count(); ++s) pool.id_of(s);
      IdPool copy = IdPool::decode(pool.encode());
      copy.insert("new id");
      copy.delete_by_id("alpha");
    } catch (const Error&) {
    }
  };
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    try_decode(Bytes(good.begin(), good.begin() + cut));
  }
  for (std::size_t i = 0; i < good.size(); ++i) {
    for (const std::uint8_t mask : {0x01, 0x80, 0xFF}) {
      Bytes bad = good;
      bad[i] ^= mask;
      try_decode(bad);
    }
  }
}

TEST(IdPool, SaveMirrorsAndLoadRestoresFromTheBackend) {
  TempDir tmp;
  auto backend = StorageBackend::from_uri(tmp.file("remote"));
  create_dirs(tmp.file("db"));
  EXPECT_EQ(error_of([&] { load_id_pool(tmp.file("db"), *backend); }), "live_ids.bin not found");

  const IdPool pool = sample_pool();
  save_id_pool(pool, tmp.file("db"), *backend);
  EXPECT_EQ(read_file(tmp.file("remote/live_ids.bin")), pool.encode());
  EXPECT_FALSE(path_exists(tmp.file("db/live_ids.bin.tmp")));

  remove_file(tmp.file("db/live_ids.bin"));
  const IdPool restored = load_id_pool(tmp.file("db"), *backend);
  EXPECT_EQ(restored.iter_active(), pool.iter_active());
  EXPECT_EQ(read_file(tmp.file("db/live_ids.bin")), pool.encode());
}

TEST(IdPool, SaveIntoTheBackendRootItself) {
  // When the backend root is the database directory, mirroring must not clobber the file.
  TempDir tmp;
  auto backend = StorageBackend::from_uri(tmp.path());
  const IdPool pool = sample_pool();
  save_id_pool(pool, tmp.path(), *backend);
  EXPECT_EQ(load_id_pool(tmp.path(), *backend).iter_active(), pool.iter_active());
}

}  // namespace
}  // namespace norvex::storage
