#include "storage/quantizer_state.h"

#include "common/error.h"
#include "common/file_util.h"
#include "storage/backend.h"

namespace norvex::storage {
namespace {

constexpr const char* kFileName = "quantizer.bin";

}  // namespace

quantizer::ProdQuantizer load_quantizer_state(const std::string& local_dir,
                                              StorageBackend& backend) {
  const std::string path = join_path(local_dir, kFileName);
  if (path_exists(path)) return quantizer::ProdQuantizer::decode(read_file(path));
  Bytes data;
  try {
    data = backend.read(kFileName);
  } catch (const Error&) {
    throw Error("Quantizer state not found");
  }
  write_file_atomic(path, data);
  return quantizer::ProdQuantizer::decode(data);
}

void save_quantizer_state(const quantizer::ProdQuantizer& quantizer, const std::string& local_dir,
                          StorageBackend& backend) {
  const std::string path = join_path(local_dir, kFileName);
  const Bytes data = quantizer.encode();
  write_file_atomic(path, data);
  backend.mirror(kFileName, path, data);
}

}  // namespace norvex::storage
