#include "engine/storage/system_directory.h"

#include "engine/query/engine_error.h"
#include "engine/storage/little_endian.h"
#include "engine/storage/page.h"

namespace dadoveri {

namespace {
constexpr size_t kEntrySize = 5;
}

TABSSystemDirectory::TABSSystemDirectory(TABSPageManager& pages) : file_(pages) {}

void TABSSystemDirectory::Create(int32_t session) {
  file_.CreateFile(session, ptFileSystemDirectory);
  if (file_.StartPageNo() != kSystemDirectoryPageNo) {
    const int32_t real = file_.StartPageNo();
    file_.CloseFile();
    RaiseError(30392, kSystemDirectoryPageNo, real);
  }
  entries_.clear();
}

void TABSSystemDirectory::Open(int32_t session) {
  file_.OpenFile(kSystemDirectoryPageNo, ptFileSystemDirectory);
  try {
    const std::vector<uint8_t> bytes = file_.ReadAll(session);
    entries_.clear();
    for (size_t at = 0; at + kEntrySize <= bytes.size(); at += kEntrySize)
      entries_.emplace_back(bytes[at], LoadLE<int32_t>(&bytes[at + 1]));
  } catch (...) {
    file_.CloseFile();
    throw;
  }
}

void TABSSystemDirectory::Close() {
  file_.CloseFile();
  entries_.clear();
}

int32_t TABSSystemDirectory::Lookup(uint8_t code) const {
  for (const auto& [c, start] : entries_)
    if (c == code) return start;
  return -1;
}

void TABSSystemDirectory::SetEntry(uint8_t code, int32_t start_page_no) {
  for (auto& [c, start] : entries_) {
    if (c == code) {
      start = start_page_no;
      return;
    }
  }
  entries_.emplace_back(code, start_page_no);
}

void TABSSystemDirectory::Write(int32_t session) {
  std::vector<uint8_t> bytes(entries_.size() * kEntrySize);
  for (size_t i = 0; i < entries_.size(); ++i) {
    bytes[i * kEntrySize] = entries_[i].first;
    StoreLE(&bytes[i * kEntrySize + 1], entries_[i].second);
  }
  file_.WriteFile(session, bytes.data(), static_cast<int32_t>(bytes.size()));
}

}  // namespace dadoveri
