#include "engine/platform/sleep.h"

#include <chrono>
#include <random>
#include <thread>

namespace dadoveri {

void SleepMilliseconds(int milliseconds) {
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

int32_t RandomNumber(int32_t limit) {
  if (limit <= 0) return 0;
  thread_local std::mt19937 generator{std::random_device{}()};
  return std::uniform_int_distribution<int32_t>(0, limit - 1)(generator);
}

}  // namespace dadoveri
