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

[[noreturn]] void panic(const std::string& message);

// Equality assertion with both sides in the message, for length invariants
// that callers are expected to have checked already.
[[noreturn]] void panic_not_equal(const char* what, unsigned long long left,
                                  unsigned long long right);

inline void assert_eq(unsigned long long left, unsigned long long right, const char* what) {
  if (left != right) panic_not_equal(what, left, right);
}

}  // namespace velq
