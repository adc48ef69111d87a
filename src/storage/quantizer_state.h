// quantizer.bin: exactly one ProdQuantizer record in the binary record encoding, nothing
// before or after it. Written once when a database is created, read at every open.
#pragma once

#include <string>

#include "quantizer/prod.h"

namespace norvex::storage {

class StorageBackend;

// Reads local_dir/quantizer.bin; when it is missing locally, restores it from the backend
// (writing the local copy first). Throws Error "Quantizer state not found" when neither has
// it, or the read, write or decoding error.
quantizer::ProdQuantizer load_quantizer_state(const std::string& local_dir,
                                              StorageBackend& backend);

// Replaces local_dir/quantizer.bin atomically with the encoded quantizer, then mirrors it to
// the backend.
void save_quantizer_state(const quantizer::ProdQuantizer& quantizer, const std::string& local_dir,
                          StorageBackend& backend);

}  // namespace norvex::storage
