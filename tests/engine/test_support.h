// Shared helpers of the engine tests: a temporary folder removed afterwards, whole-file
// reads and writes, and the native code or message of the engine error an action raises.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"

namespace dadoveri::testing {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dadoveri-storage-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline std::vector<uint8_t> ReadWholeFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteWholeFile(const std::string& name, const std::vector<uint8_t>& bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The native code of the engine error `fn` raises; 0 when nothing is raised.
template <typename Fn>
int32_t CodeOf(Fn&& fn) {
  try {
    fn();
  } catch (const VODIDivodavir& e) {
    return e.NativeError;
  }
  return 0;
}

template <typename Fn>
std::string MessageOf(Fn&& fn) {
  try {
    fn();
  } catch (const VODIDivodavir& e) {
    return e.what();
  }
  return "<nothing raised>";
}

}  // namespace dadoveri::testing
