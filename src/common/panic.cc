#include "common/panic.h"

namespace velq {

void panic(const std::string& message) { throw Panic(message); }

void panic_not_equal(const char* what, unsigned long long left, unsigned long long right) {
  throw Panic(std::string("assertion `left == right` failed: ") + what +
              "\n  left: " + std::to_string(left) + "\n right: " + std::to_string(right));
}

}  // namespace velq
