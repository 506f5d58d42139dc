// quantizer.bin: the product quantizer's fields in declaration order, stages
// included, with no header or checksum (layout in docs/formats/quantizer_bin.md).
// The quantizer is built once per database and always loaded from here
// afterwards, so its random signs, matrices and codebook must survive exactly.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/result.h"
#include "quantizer/prod_quantizer.h"

namespace velq {

std::vector<std::uint8_t> encode_quantizer_image(const ProdQuantizer& quantizer);

// Treats the bytes as hostile: fails with a "decode error: ..." message when
// they end early, an option tag or the fast-mode byte is not 0 or 1, or the
// fields contradict each other in a way that would make the quantizer unsafe
// to use (dimensions, list lengths, codebook size). Bytes after the image are
// ignored.
Result<ProdQuantizer> decode_quantizer_image(std::span<const std::uint8_t> bytes);

}  // namespace velq
