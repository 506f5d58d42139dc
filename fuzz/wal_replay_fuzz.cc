// Log decoding on arbitrary bytes: entries or an error, never a crash, and
// the accepted prefix never extends past the image.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "quantizer/prod_quantizer.h"
#include "storage/wal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const velq::ProdQuantizer quantizer = velq::ProdQuantizer::new_srht(20, 4, 7);
  const std::span<const std::uint8_t> image(data, size);
  for (const velq::ProdQuantizer* q : {&quantizer, static_cast<const velq::ProdQuantizer*>(nullptr)}) {
    const auto decoded = velq::decode_wal(image, q);
    if (!decoded.ok()) continue;
    if (decoded->valid_end > size) std::abort();
    if (decoded->stop == velq::WalImage::Stop::kEndOfLog && decoded->version != 0 &&
        decoded->valid_end != size) {
      std::abort();
    }
  }
  return 0;
}
