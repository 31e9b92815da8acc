#include "platform/env.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<Env*> installed{nullptr};
}

Env& env() {
  Env* e = installed.load(std::memory_order_acquire);
  return e ? *e : *Env::Default();
}

Env* SetEnv(Env* replacement) {
  Env* previous = installed.exchange(replacement, std::memory_order_acq_rel);
  return previous ? previous : Env::Default();
}

}  // namespace platform
