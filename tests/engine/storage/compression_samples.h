// Sample data for the compression tests: English-like text and random bytes.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace dadoveri::testing {

// A fixed passage repeated with small changes, so that every model order finds contexts.
inline std::vector<uint8_t> EnglishText(size_t n) {
  static const std::string passage =
      "It was the best of times, it was the worst of times, it was the age of wisdom, it was "
      "the age of foolishness, it was the epoch of belief, it was the epoch of incredulity, it "
      "was the season of Light, it was the season of Darkness, it was the spring of hope, it "
      "was the winter of despair, we had everything before us, we had nothing before us.\n";
  std::vector<uint8_t> out;
  out.reserve(n);
  for (size_t round = 0; out.size() < n; ++round)
    for (size_t i = 0; i < passage.size() && out.size() < n; ++i)
      out.push_back(static_cast<uint8_t>(i % 97 == round % 97 ? '0' + round % 10 : passage[i]));
  return out;
}

inline std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(gen());
  return out;
}

}  // namespace dadoveri::testing
