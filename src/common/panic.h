// Violated internal invariants. A panic aborts the current call; nothing in
// the core catches it. The Python boundary turns it into an exception and
// poisons the database lock when it was held exclusively.
#pragma once

#include <stdexcept>
#include <string>

namespace velq {

class Panic : public std::runtime_error {
 public:
  explicit Panic(const std::string& message) : std::runtime_error(message) {}
};

// Out of line at every call site: a panic is the cold road.
[[noreturn, gnu::noinline, gnu::cold]] inline void panic(const std::string& message) {
  throw Panic(message);
}

// Equality assertion with both sides in the message, for length invariants
// that callers are expected to have checked already.
[[noreturn, gnu::noinline, gnu::cold]] inline void panic_not_equal(const char* what,
                                                                   unsigned long long left,
                                                                   unsigned long long right) {
  throw Panic(std::string("assertion `left == right` failed: ") + what + "\n  left: " +
              std::to_string(left) + "\n right: " + std::to_string(right));
}

inline void assert_eq(unsigned long long left, unsigned long long right, const char* what) {
  if (left != right) panic_not_equal(what, left, right);
}

}  // namespace velq
