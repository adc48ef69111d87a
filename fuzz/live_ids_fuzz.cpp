// live_ids.bin: decoding the id pool, then the lookups an open database makes on it, a
// round trip through encode, and an insert and delete on the loaded pool.
#include <string>

#include "fuzz_util.h"
#include "storage/id_pool.h"

using namespace norvex;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  storage::IdPool pool;
  if (fuzz::refused([&] { pool = storage::IdPool::decode(fuzz::bytes_of(data, size)); })) return 0;

  auto active = pool.iter_active();
  FUZZ_REQUIRE(active.size() <= pool.slot_count());
  for (const auto& [id, slot] : active) {
    // Stored hashes are trusted (the file has no checksum), so a damaged id byte can make an
    // id unreachable, and one id can sit under two alive slots; but whatever a lookup finds is
    // an alive slot holding that very id.
    auto found = pool.get_slot(id);
    if (!found) continue;
    FUZZ_REQUIRE(pool.is_alive(*found));
    FUZZ_REQUIRE(pool.id_of(*found) == std::optional<std::string_view>(id));
  }

  storage::IdPool again = storage::IdPool::decode(pool.encode());
  FUZZ_REQUIRE(again.iter_active() == active);
  FUZZ_REQUIRE(again.slot_count() == pool.slot_count());

  const std::string fresh = "fuzz-new-id";
  if (!fuzz::refused([&] { pool.insert(fresh); })) {
    FUZZ_REQUIRE(pool.get_slot(fresh).has_value());
    FUZZ_REQUIRE(pool.delete_by_id(fresh));
  }
  return 0;
}
