// metadata.bin decoding on arbitrary bytes: an error or entries, never a
// crash. Accepted entries re-encode, and the re-encoded image decodes to the
// same entries (the writer never produces what the reader refuses).
#include <cstdint>
#include <cstdlib>
#include <span>

#include "storage/metadata/metadata_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto entries = velq::decode_metadata_file(std::span<const std::uint8_t>(data, size), "fuzz");
  if (!entries.ok()) return 0;
  const auto image = velq::encode_metadata_file(*entries);
  if (!image.ok()) std::abort();
  const auto again = velq::decode_metadata_file(*image, "fuzz");
  if (!again.ok() || again->size() != entries->size()) std::abort();
  for (std::size_t i = 0; i < entries->size(); ++i) {
    if ((*again)[i].slot != (*entries)[i].slot || !((*again)[i].metadata == (*entries)[i].metadata)) std::abort();
  }
  return 0;
}
