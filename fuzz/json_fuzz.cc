// JSON text on arbitrary bytes: an error or a value, never a crash. An
// accepted value writes out (compact and pretty) to text that parses back to
// the same value and rewrites to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/json_parse.h"
#include "common/json_write.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto value = velq::parse_json(text);
  if (!value.ok()) return 0;
  const std::string compact = velq::to_json(*value);
  const auto again = velq::parse_json(compact);
  if (!again.ok() || !(*again == *value) || velq::to_json(*again) != compact) std::abort();
  const auto from_pretty = velq::parse_json(velq::to_json_pretty(*value));
  if (!from_pretty.ok() || velq::to_json(*from_pretty) != compact) std::abort();
  return 0;
}
