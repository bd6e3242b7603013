#include "engine/database/system_directory.h"

#include "engine/base/engine_error.h"
#include "engine/base/little_endian.h"
#include "engine/storage/page.h"

namespace dadoveri {

namespace {
constexpr size_t kEntrySize = 5;
}

TABSSystemDirectory::TABSSystemDirectory(TABSPageManager& pages) : file_(pages) {}

void TABSSystemDirectory::CreateFile(int32_t session) {
  file_.CreateFile(session, ptFileSystemDirectory);
  if (file_.StartPageNo() != kSystemDirectoryPageNo) {
    const int32_t real = file_.StartPageNo();
    file_.CloseFile();
    RaiseError(30392, kSystemDirectoryPageNo, real);
  }
  entries_.clear();
}

void TABSSystemDirectory::OpenFile(int32_t session) {
  file_.OpenFile(kSystemDirectoryPageNo, ptFileSystemDirectory);
  entries_.clear();
  try {
    const std::vector<uint8_t> bytes = file_.ReadAll(session);
    for (size_t at = 0; at + kEntrySize <= bytes.size(); at += kEntrySize)
      entries_.push_back({bytes[at], LoadLE<int32_t>(&bytes[at + 1])});
  } catch (...) {
    file_.CloseFile();
    throw;
  }
}

void TABSSystemDirectory::CloseFile() {
  file_.CloseFile();
  entries_.clear();
}

int32_t TABSSystemDirectory::StartPageNo(uint8_t code) const {
  for (const Entry& e : entries_)
    if (e.Code == code) return e.StartPageNo;
  return -1;
}

void TABSSystemDirectory::SetStartPageNo(uint8_t code, int32_t start_page_no) {
  for (Entry& e : entries_) {
    if (e.Code == code) {
      e.StartPageNo = start_page_no;
      return;
    }
  }
  entries_.push_back({code, start_page_no});
}

void TABSSystemDirectory::WriteFile(int32_t session) {
  std::vector<uint8_t> bytes(entries_.size() * kEntrySize);
  for (size_t i = 0; i < entries_.size(); ++i) {
    bytes[i * kEntrySize] = entries_[i].Code;
    StoreLE(&bytes[i * kEntrySize + 1], entries_[i].StartPageNo);
  }
  file_.WriteFile(session, bytes.data(), static_cast<int32_t>(bytes.size()));
}

}  // namespace dadoveri
