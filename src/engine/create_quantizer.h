// The quantizer of a new database, with the sizes it implies checked first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/result.h"
#include "quantizer/prod_quantizer.h"

namespace velq {

// "dense" or "exact" (exactly) give the dense rotation, any other text the
// randomized Hadamard rotation. A bit count the codes cannot hold, or a
// dimension whose rotation or padded length is too large to build, is
// refused with kInvalidArgument instead of failing inside the build.
Result<ProdQuantizer> create_quantizer(std::size_t d, std::size_t b, std::uint64_t seed,
                                       bool fast_mode, std::string_view quantizer_type);

}  // namespace velq
