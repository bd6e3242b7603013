#include "engine/storage/internal_file.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "engine/base/engine_error.h"
#include "engine/storage/disk_page_manager.h"
#include "engine/base/little_endian.h"
#include "engine/storage/page_manager.h"

namespace dadoveri {

namespace {

int32_t pages_for(int64_t stored, int64_t data_size) {
  return static_cast<int32_t>((stored + kInternalFileHeaderSize + data_size - 1) / data_size);
}

// The stored form of `count` content bytes: the file's algorithm at its mode. Empty
// content stores nothing.
std::vector<uint8_t> compress_content(uint8_t algorithm, uint8_t mode, const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  if (size == 0) return out;
  if (!CompressBuffer(algorithm, mode, data, size, out)) RaiseError(20187);
  return out;
}

std::vector<uint8_t> decompress_content(uint8_t algorithm, const std::vector<uint8_t>& stored, int32_t logical) {
  std::vector<uint8_t> out;
  if (logical <= 0) return out;
  if (!DecompressBuffer(algorithm, stored.data(), stored.size(), static_cast<size_t>(logical), out) ||
      out.size() != static_cast<size_t>(logical))
    RaiseError(20189);
  return out;
}

}  // namespace

// ---- Transacted --------------------------------------------------------------------

TABSInternalDBTransactedAccessFile::TABSInternalDBTransactedAccessFile(TABSPageManager& pages)
    : pages_(pages) {}

void TABSInternalDBTransactedAccessFile::require_open(const char* operation) const {
  if (!IsOpened()) RaiseError(30389, operation);
}

void TABSInternalDBTransactedAccessFile::CreateFile(int32_t session, uint16_t page_type,
                                                    uint8_t compression_algorithm,
                                                    uint8_t compression_mode) {
  if (IsOpened()) RaiseError(30383, start_page_no_);
  TABSPageHandle page = pages_.AddPage(session, page_type);
  uint8_t* data = page.MutableData();
  std::memset(data, 0, kInternalFileHeaderSize);
  data[0] = kInternalFileHeaderSize;
  data[9] = compression_algorithm;
  page.SetNextPageNo(-1);
  page.MarkDirty();
  start_page_no_ = page.PageNo();
  page_type_ = page_type;
  algorithm_ = compression_algorithm;
  mode_ = compression_mode;
}

void TABSInternalDBTransactedAccessFile::OpenFile(int32_t start_page_no, uint16_t page_type,
                                                  uint8_t compression_algorithm,
                                                  uint8_t compression_mode) {
  if (IsOpened()) RaiseError(30383, start_page_no_);
  start_page_no_ = start_page_no;
  page_type_ = page_type;
  algorithm_ = compression_algorithm;
  mode_ = compression_mode;
}

void TABSInternalDBTransactedAccessFile::CloseFile() { start_page_no_ = -1; }

TABSInternalDBTransactedAccessFile::Header TABSInternalDBTransactedAccessFile::read_header(
    int32_t session) {
  TABSPageHandle page = pages_.GetPage(session, start_page_no_, true, page_type_);
  const uint8_t* data = page.Data();
  return Header{LoadLE<int32_t>(data + 1), LoadLE<int32_t>(data + 5), data[9], data[0]};
}

void TABSInternalDBTransactedAccessFile::write_header(int32_t session, const Header& header) {
  TABSPageHandle page = pages_.GetPage(session, start_page_no_, true, page_type_);
  uint8_t* data = page.MutableData();
  data[0] = kInternalFileHeaderSize;
  StoreLE(data + 1, header.stored);
  StoreLE(data + 5, header.logical);
  data[9] = header.algorithm;
  page.MarkDirty();
}

std::vector<int32_t> TABSInternalDBTransactedAccessFile::chain(int32_t session) {
  std::vector<int32_t> pages;
  std::unordered_set<int32_t> seen;
  for (int32_t no = start_page_no_; no != -1;) {
    if (!seen.insert(no).second) RaiseError(20189);  // a chain that loops is damaged
    pages.push_back(no);
    TABSPageHandle page = pages_.GetPage(session, no, true, page_type_);
    no = page.NextPageNo();
  }
  return pages;
}

std::vector<int32_t> TABSInternalDBTransactedAccessFile::ChainPages(int32_t session) {
  require_open("GetSize");
  return chain(session);
}

std::vector<int32_t> TABSInternalDBTransactedAccessFile::checked_chain(int32_t session,
                                                                        const Header& header) {
  if (header.mark != kInternalFileHeaderSize || header.algorithm > acPPM) RaiseError(20189);
  std::vector<int32_t> pages = chain(session);
  // Bytes the chain can hold after the header of its first page.
  const int64_t capacity =
      static_cast<int64_t>(pages.size()) * pages_.DataSize() - kInternalFileHeaderSize;
  if (header.stored < 0 || header.stored > capacity)
    RaiseError(30388, header.stored, header.stored, std::max<int64_t>(capacity, 0), header.stored);
  if (header.logical < 0) RaiseError(30387, header.logical, 0);
  if (header.algorithm == acNone && header.logical > header.stored)
    RaiseError(30388, header.logical, header.stored, header.stored, header.logical);
  // Deflate cannot shrink data by more than about 1032 to 1: a larger logical size is not
  // what these stored bytes can hold.
  if (header.algorithm == acZLIB && header.logical > static_cast<int64_t>(header.stored) * 1032)
    RaiseError(20189);
  return pages;
}

int32_t TABSInternalDBTransactedAccessFile::GetSize(int32_t session) {
  require_open("GetSize");
  const Header header = read_header(session);
  checked_chain(session, header);
  return header.logical;
}

void TABSInternalDBTransactedAccessFile::SetSize(int32_t session, int32_t stored_size) {
  require_open("SetSize");
  const int32_t need = pages_for(std::max(stored_size, 0), pages_.DataSize());
  std::vector<int32_t> pages = chain(session);
  const int32_t have = static_cast<int32_t>(pages.size());
  if (have < need) {
    int32_t last = pages.back();
    for (int32_t i = have; i < need; ++i) {
      TABSPageHandle fresh = pages_.AddPage(session, page_type_);
      fresh.SetNextPageNo(-1);
      fresh.MarkDirty();
      TABSPageHandle previous = pages_.GetPage(session, last, true, page_type_);
      previous.SetNextPageNo(fresh.PageNo());
      previous.MarkDirty();
      last = fresh.PageNo();
    }
  } else if (have > need) {
    {
      TABSPageHandle last = pages_.GetPage(session, pages[static_cast<size_t>(need - 1)], true, page_type_);
      last.SetNextPageNo(-1);
      last.MarkDirty();
    }
    // The pages cut off are freed with the session's commit rather than left allocated
    // and unreachable.
    for (int32_t i = need; i < have; ++i) pages_.FreePage(session, pages[static_cast<size_t>(i)]);
  }
  Header header = read_header(session);
  header.stored = stored_size;
  write_header(session, header);
}

std::vector<uint8_t> TABSInternalDBTransactedAccessFile::read_stored(int32_t session,
                                                                     const std::vector<int32_t>& pages,
                                                                     int32_t count) {
  // The chain was measured against the count: every byte asked for is there.
  std::vector<uint8_t> stored;
  stored.reserve(static_cast<size_t>(count));
  const int32_t ds = pages_.DataSize();
  int32_t offset = kInternalFileHeaderSize;
  for (size_t i = 0; i < pages.size() && static_cast<int32_t>(stored.size()) < count; ++i, offset = 0) {
    TABSPageHandle page = pages_.GetPage(session, pages[i], true, page_type_);
    const int32_t span = std::min(count - static_cast<int32_t>(stored.size()), ds - offset);
    stored.insert(stored.end(), page.Data() + offset, page.Data() + offset + span);
  }
  if (static_cast<int32_t>(stored.size()) < count)
    RaiseError(30388, count, count, static_cast<int64_t>(stored.size()), count);
  return stored;
}

std::vector<uint8_t> TABSInternalDBTransactedAccessFile::read_content(int32_t session, int32_t count,
                                                                      bool whole) {
  const Header header = read_header(session);
  const std::vector<int32_t> pages = checked_chain(session, header);
  if (whole) count = header.logical;
  if (count > header.logical || count < 0) RaiseError(30387, header.logical, count);
  if (header.algorithm == acNone) return read_stored(session, pages, count);
  std::vector<uint8_t> plain =
      decompress_content(header.algorithm, read_stored(session, pages, header.stored), header.logical);
  plain.resize(static_cast<size_t>(count));
  return plain;
}

void TABSInternalDBTransactedAccessFile::ReadFile(int32_t session, void* buffer, int32_t count) {
  require_open("ReadFile");
  const std::vector<uint8_t> bytes = read_content(session, count, false);
  if (!bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
}

std::vector<uint8_t> TABSInternalDBTransactedAccessFile::ReadAll(int32_t session) {
  require_open("GetSize");
  return read_content(session, 0, true);
}

void TABSInternalDBTransactedAccessFile::WriteFile(int32_t session, const void* buffer,
                                                   int32_t count) {
  require_open("WriteFile");
  const auto* data = static_cast<const uint8_t*>(buffer);
  const int32_t ds = pages_.DataSize();
  // Content that fits in the first page of a one-page chain (a table's counters block,
  // rewritten on every change) is written with one page fetch, and plain content with no
  // copy on the way.
  auto write_first_page = [&](const uint8_t* bytes, size_t size) {
    if (static_cast<int64_t>(size) > ds - kInternalFileHeaderSize) return false;
    TABSPageHandle page = pages_.GetPage(session, start_page_no_, true, page_type_);
    if (page.NextPageNo() != -1) return false;
    uint8_t* target = page.MutableData();
    if (size > 0) std::memcpy(target + kInternalFileHeaderSize, bytes, size);
    target[0] = kInternalFileHeaderSize;
    StoreLE(target + 1, static_cast<int32_t>(size));
    StoreLE(target + 5, count);
    target[9] = algorithm_;
    page.MarkDirty();
    return true;
  };
  if (algorithm_ == acNone && count >= 0 && write_first_page(data, static_cast<size_t>(count))) return;
  std::vector<uint8_t> stored;
  if (algorithm_ == acNone)
    stored.assign(data, data + count);
  else if (algorithm_ <= acPPM)
    stored = compress_content(algorithm_, mode_, data, static_cast<size_t>(std::max(count, 0)));
  else
    RaiseError(20187);
  if (algorithm_ != acNone && write_first_page(stored.data(), stored.size())) return;
  SetSize(session, static_cast<int32_t>(stored.size()));
  size_t done = 0;
  int32_t offset = kInternalFileHeaderSize;
  for (int32_t no = start_page_no_; no != -1 && done < stored.size(); offset = 0) {
    TABSPageHandle page = pages_.GetPage(session, no, true, page_type_);
    const size_t span = std::min<size_t>(stored.size() - done, static_cast<size_t>(ds - offset));
    std::memcpy(page.MutableData() + offset, stored.data() + done, span);
    done += span;
    no = page.NextPageNo();
  }
  write_header(session, Header{static_cast<int32_t>(stored.size()), count, algorithm_});
}

void TABSInternalDBTransactedAccessFile::DeleteFile(int32_t session) {
  require_open("DeleteFile");
  for (int32_t no : chain(session)) pages_.FreePage(session, no);
  CloseFile();
}

// ---- Direct ------------------------------------------------------------------------

TABSInternalDBDirectAccessFile::TABSInternalDBDirectAccessFile(TABSDiskPageManager& pages)
    : pages_(pages) {}

void TABSInternalDBDirectAccessFile::require_open(const char* operation) const {
  if (!IsOpened()) RaiseError(20156, operation);
}

void TABSInternalDBDirectAccessFile::CreateFile(int32_t session, uint16_t page_type,
                                                int32_t size) {
  if (IsOpened()) RaiseError(20157, start_page_no_);
  const int32_t need = pages_for(std::max(size, 0), pages_.DataSize());
  // Every page stays held until the chain is complete; all go back on every path.
  std::vector<TABSPageHandle> held;
  held.reserve(static_cast<size_t>(need));
  for (int32_t i = 0; i < need; ++i) {
    TABSPageHandle page = pages_.AddPage(session, page_type);
    page.SetEncryptOnWrite(false);
    page.SetNextPageNo(-1);
    if (i > 0) held.back().SetNextPageNo(page.PageNo());
    held.push_back(std::move(page));
  }
  uint8_t* data = held.front().MutableData();
  std::memset(data, 0, kInternalFileHeaderSize);
  data[0] = kInternalFileHeaderSize;
  StoreLE<int32_t>(data + 1, size);
  chain_.clear();
  for (const TABSPageHandle& page : held) chain_.push_back(page.PageNo());
  held.clear();
  start_page_no_ = chain_.front();
  page_type_ = page_type;
  size_ = size;
}

void TABSInternalDBDirectAccessFile::load_chain() {
  chain_.clear();
  std::unordered_set<int32_t> seen;
  // The first byte of the first page may be locked: read the header after it.
  uint8_t header[kPageHeaderSize - 1];
  for (int32_t no = start_page_no_; no != -1;) {
    if (!seen.insert(no).second) RaiseError(20155, -1, page_type_);
    pages_.ReadPageBytes(no, 1, header, sizeof header);
    const uint16_t type = LoadLE<uint16_t>(header + 7);
    if (type != page_type_) RaiseError(20155, type, page_type_);
    chain_.push_back(no);
    no = LoadLE<int32_t>(header + 9);
  }
  uint8_t size_bytes[4];
  pages_.ReadPageBytes(start_page_no_, kPageHeaderSize + 1, size_bytes, 4);
  size_ = LoadLE<int32_t>(size_bytes);
}

void TABSInternalDBDirectAccessFile::OpenFile(int32_t start_page_no, uint16_t page_type) {
  if (IsOpened()) RaiseError(20157, start_page_no_);
  start_page_no_ = start_page_no;
  page_type_ = page_type;
  try {
    load_chain();
  } catch (...) {
    start_page_no_ = -1;
    throw;
  }
}

void TABSInternalDBDirectAccessFile::CloseFile() {
  start_page_no_ = -1;
  chain_.clear();
  size_ = 0;
}

void TABSInternalDBDirectAccessFile::DeleteFile(int32_t session) {
  require_open("DeleteFile");
  for (int32_t no : chain_) pages_.FreePage(session, no);
  CloseFile();
}

int32_t TABSInternalDBDirectAccessFile::GetSize() {
  require_open("GetSize");
  return size_;
}

int32_t TABSInternalDBDirectAccessFile::Capacity() const {
  return static_cast<int32_t>(chain_.size()) * pages_.DataSize() - kInternalFileHeaderSize;
}

template <typename Fn>
void TABSInternalDBDirectAccessFile::for_each_span(int32_t position, int32_t count, Fn&& fn) {
  const int32_t ds = pages_.DataSize();
  int32_t done = 0;
  while (done < count) {
    const int64_t at = static_cast<int64_t>(position) + done + kInternalFileHeaderSize;
    const size_t index = static_cast<size_t>(at / ds);
    const int32_t offset = static_cast<int32_t>(at % ds);
    const int32_t span = std::min(count - done, ds - offset);
    if (index >= chain_.size()) RaiseError(20159, size_, position + done);
    fn(chain_[index], kPageHeaderSize + offset, span, done);
    done += span;
  }
}

void TABSInternalDBDirectAccessFile::DirectReadBuffer(int32_t position, void* buffer,
                                                      int32_t count) {
  require_open("DirectReadBuffer");
  if (position < 0 || position > size_) RaiseError(20159, size_, position);
  if (count < 0 || static_cast<int64_t>(position) + count > size_)
    RaiseError(20159, size_, static_cast<int64_t>(position) + count);
  auto* out = static_cast<uint8_t*>(buffer);
  for_each_span(position, count, [&](int32_t page, int32_t offset, int32_t span, int32_t done) {
    pages_.ReadPageBytes(page, offset, out + done, span);
  });
}

void TABSInternalDBDirectAccessFile::DirectWriteBuffer(int32_t position, const void* buffer,
                                                       int32_t count) {
  require_open("DirectWriteBuffer");
  if (position < 0 || count < 0 || static_cast<int64_t>(position) + count > size_)
    RaiseError(20158, size_, position, count);
  const auto* in = static_cast<const uint8_t*>(buffer);
  for_each_span(position, count, [&](int32_t page, int32_t offset, int32_t span, int32_t done) {
    pages_.WritePageBytes(page, offset, in + done, span);
  });
}

bool TABSInternalDBDirectAccessFile::LockFile() {
  require_open("LockFile");
  return RetryAttempts(pages_.LockRetry,
                       [&] { return pages_.LockPageBytes(start_page_no_, 0, 1); });
}

bool TABSInternalDBDirectAccessFile::UnlockFile() {
  require_open("UnlockFile");
  return pages_.UnlockPageBytes(start_page_no_, 0, 1);
}

bool TABSInternalDBDirectAccessFile::LockByte(int32_t position) {
  require_open("LockByte");
  bool ok = false;
  for_each_span(position, 1, [&](int32_t page, int32_t offset, int32_t, int32_t) {
    ok = pages_.LockPageBytes(page, offset, 1);
  });
  return ok;
}

bool TABSInternalDBDirectAccessFile::UnlockByte(int32_t position) {
  require_open("UnlockByte");
  bool ok = false;
  for_each_span(position, 1, [&](int32_t page, int32_t offset, int32_t, int32_t) {
    ok = pages_.UnlockPageBytes(page, offset, 1);
  });
  return ok;
}

bool TABSInternalDBDirectAccessFile::IsByteLocked(int32_t position) {
  require_open("IsByteLocked");
  bool locked = false;
  for_each_span(position, 1, [&](int32_t page, int32_t offset, int32_t, int32_t) {
    locked = pages_.IsPageByteLocked(page, offset);
  });
  return locked;
}

bool TABSInternalDBDirectAccessFile::IsRegionLocked(int32_t position, int32_t count) {
  require_open("IsRegionLocked");
  bool locked = false;
  for_each_span(position, count, [&](int32_t page, int32_t offset, int32_t span, int32_t) {
    if (!locked) locked = pages_.IsPageRegionLocked(page, offset, span);
  });
  return locked;
}

}  // namespace dadoveri
