// The one retry routine behind every lock acquisition: call the attempt up to `attempts`
// times, sleeping `pause_ms` after each failure, and report whether one succeeded.
#pragma once

#include "engine/platform/sleep.h"

namespace dadoveri {

struct TABSRetryPolicy {
  int attempts = 4500;
  int pause_ms = 20;
};

template <typename Attempt>
bool RetryAttempts(const TABSRetryPolicy& policy, Attempt&& attempt) {
  for (int i = 0; i < policy.attempts; ++i) {
    if (attempt()) return true;
    if (i + 1 < policy.attempts) SleepMilliseconds(policy.pause_ms);
  }
  return false;
}

}  // namespace dadoveri
