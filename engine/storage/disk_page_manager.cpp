#include "engine/storage/disk_page_manager.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/platform/file.h"
#include "engine/platform/sleep.h"
#include "engine/base/engine_error.h"
#include "engine/storage/checksum.h"

namespace dadoveri {

namespace {

constexpr int kSearchChunk = 10000;
// Consecutive chunks of the signature search overlap by one byte less than the 18 bytes
// matched (signature and header size), so that no position falls between two chunks.
constexpr int kSearchOverlap = kSignatureSize + 2 - 1;

bool matches_at(const uint8_t* p) {
  return std::memcmp(p, kDatabaseSignature, kSignatureSize) == 0 &&
         LoadLE<int16_t>(p + kSignatureSize) == kMainHeaderSize;
}

// Whether an existing file must be opened read-only: it carries the read-only mark,
// cannot be opened for writing with the sharing the open will ask for, or refuses to
// have its first byte rewritten with its own value.
bool detect_read_only(const std::string& name, bool multi_user) {
  if (PlatformFileIsReadOnly(name)) return true;
  PlatformFile probe;
  if (!probe.Open(name, FileAccess::ReadWrite, multi_user ? FileShare::ReadWrite : FileShare::None)) {
    return probe.LastError() != ENOENT;
  }
  uint8_t first = 0;
  bool read_only = false;
  if (probe.Read(&first, 1, 0)) read_only = !probe.Write(&first, 1, 0);
  probe.Close();
  return read_only;
}

}  // namespace

TABSDiskPageManager::TABSDiskPageManager(int32_t capacity)
    : TABSPageManager(4096, kPageHeaderSize, capacity) {}

TABSDiskPageManager::~TABSDiskPageManager() { close_quietly(); }

void TABSDiskPageManager::close_quietly() {
  free_space_.reset();
  if (file_.IsOpened()) {
    try {
      file_.CloseFile();
    } catch (...) {
    }
  }
  header_lock_depth_ = 0;
  unsynced_writes_ = false;
}

void TABSDiskPageManager::WriteBarrier() {
  if (!commit_barriers_) {
    unsynced_writes_ = true;
    return;
  }
  file_.SyncData();
  unsynced_writes_ = false;
}

int64_t TABSDiskPageManager::PageOffset(int32_t page_no) const {
  if (page_no == -1) RaiseError(10471, page_no);
  return page0_offset_ + static_cast<int64_t>(page_no) * PageSize();
}

bool TABSDiskPageManager::IsMapPage(int32_t page_no) const {
  return free_space_ && free_space_->IsMapPage(page_no);
}

// ---- Prologue ------------------------------------------------------------------------

void TABSDiskPageManager::ReadMainHeader() {
  if (!file_.IsOpened()) RaiseError(10459);
  file_.ReadBufferWithError(header_.Bytes(), 10464, base_offset_, kMainHeaderSize);
}

void TABSDiskPageManager::WriteMainHeader() {
  if (!file_.IsOpened()) RaiseError(10460);
  file_.WriteBuffer(header_.Bytes(), 10462, base_offset_, kMainHeaderSize);
}

bool TABSDiskPageManager::LockHeader() {
  if (header_lock_depth_ > 0) {
    ++header_lock_depth_;
    return true;
  }
  // A file open exclusively has no other user to keep out: the byte lock is skipped.
  const int64_t offset = base_offset_ + kHeaderLockOffset;
  if (!exclusive_ && !RetryAttempts(LockRetry, [&] { return file_.LockByte(1, offset); })) return false;
  header_lock_depth_ = 1;
  return true;
}

void TABSDiskPageManager::UnlockHeader() {
  if (header_lock_depth_ <= 0) return;
  if (--header_lock_depth_ == 0 && file_.IsOpened() && !exclusive_)
    file_.UnlockByte(1, base_offset_ + kHeaderLockOffset);
}

void TABSDiskPageManager::LockTables() {
  const int64_t offset = base_offset_ + kTablesLockOffset;
  if (!RetryAttempts(LockRetry, [&] { return file_.LockByte(1, offset); })) RaiseError(20210);
}

void TABSDiskPageManager::UnlockTables() {
  if (!file_.UnlockByte(1, base_offset_ + kTablesLockOffset)) RaiseError(20211);
}

int32_t TABSDiskPageManager::GetNextObjectID() {
  if (!file_.IsOpened()) RaiseError(30399);
  const int64_t offset = next_object_id_offset_;
  if (!RetryAttempts(LockRetry, [&] { return file_.LockByte(1, offset); })) RaiseError(30401);
  int32_t value = 0;
  try {
    uint8_t bytes[4];
    file_.ReadBufferWithError(bytes, 30400, offset, 4);
    value = LoadLE<int32_t>(bytes) + 1;
    if (!ReadOnly()) {
      StoreLE(bytes, value);
      file_.WriteBuffer(bytes, 30404, offset, 4);
    }
  } catch (...) {
    file_.UnlockByte(1, offset);
    throw;
  }
  file_.UnlockByte(1, offset);
  // A read-only file cannot keep the counter: spread concurrent readers apart.
  if (ReadOnly()) value += RandomNumber(10000);
  return value;
}

int64_t TABSDiskPageManager::find_base_offset() {
  uint8_t head[92];
  if (file_.ReadBuffer(head, 10464, 0, sizeof head) && matches_at(head)) return 0;
  const int64_t size = file_.GetSize();
  std::vector<uint8_t> chunk(kSearchChunk);
  for (int64_t start = 0; start < size;) {
    const int32_t count = static_cast<int32_t>(std::min<int64_t>(kSearchChunk, size - start));
    if (count < kSignatureSize + 2 || !file_.ReadBuffer(chunk.data(), 10464, start, count)) break;
    for (int32_t i = 0; i + kSignatureSize + 2 <= count; ++i)
      if (matches_at(&chunk[static_cast<size_t>(i)])) return start + i;
    if (start + count >= size) break;
    start += count - kSearchOverlap;
  }
  return 0;
}

void TABSDiskPageManager::CreateDatabase(const std::string& file_name, uint16_t page_size,
                                         uint16_t pages_per_extent,
                                         const TABSPassword& password) {
  if (file_.IsOpened()) RaiseError(10461, file_name);
  if (page_size <= kPageHeaderSize + 10 || pages_per_extent == 0) RaiseError(20237);
  // A cipher code outside the eight would leave the pages unencrypted in a file that
  // says they are: refuse it before the file is touched.
  if (!IsKnownCipher(password.CryptoAlgorithm)) RaiseError(40201, password.CryptoAlgorithm);
  SetPageSize(page_size, kPageHeaderSize);
  password_ = password;
  file_.CreateFile(file_name);
  try {
    base_offset_ = 0;
    check_block_offset_ = kMainHeaderSize;
    lock_area_offset_ = kMainHeaderSize + kCheckBlockSize;
    next_object_id_offset_ = kNextObjectIDOffset;
    page0_offset_ = kPrologueSize;
    header_ = TABSMainHeader();
    check_block_ = TABSCheckBlock();
    lock_area_ = TABSLockArea();
    header_.SetEncrypted(!password.Password.empty());
    header_.SetPageSize(page_size);
    header_.SetPagesPerExtent(pages_per_extent);
    exclusive_ = false;
    multi_user_ = false;
    if (header_.Encrypted()) {
      check_block_.SetCryptoAlgorithm(password.CryptoAlgorithm);
      uint8_t* check = check_block_.CheckBytes();
      for (int i = 0; i < TABSCheckBlock::kCheckByteCount; ++i)
        check[i] = static_cast<uint8_t>(RandomNumber(255));
      check_block_.SetChecksum(BufferChecksum(0, check, TABSCheckBlock::kCheckByteCount));
      if (!EncryptBuffer(password.CryptoAlgorithm, check, TABSCheckBlock::kCheckByteCount,
                         password.Password))
        RaiseError(40205);
    }
    WriteMainHeader();
    file_.WriteBuffer(check_block_.Bytes(), 30438, check_block_offset_, kCheckBlockSize);
    file_.WriteBuffer(lock_area_.Bytes(), 30444, lock_area_offset_, kLockAreaSize);
    const int64_t counter = next_object_id_offset_;
    if (RetryAttempts(LockRetry, [&] { return file_.LockByte(1, counter); })) {
      const uint8_t zero[4] = {0, 0, 0, 0};
      try {
        file_.WriteBuffer(zero, 30406, counter, 4);
      } catch (...) {
        file_.UnlockByte(1, counter);
        throw;
      }
      file_.UnlockByte(1, counter);
    }
    free_space_ = std::make_unique<TABSDatabaseFreeSpaceManager>(*this);
  } catch (...) {
    close_quietly();
    throw;
  }
}

void TABSDiskPageManager::OpenDatabase(const std::string& file_name,
                                       const TABSPassword& password, bool& read_only,
                                       bool exclusive, bool multi_user, bool& needs_repair) {
  if (file_.IsOpened()) RaiseError(10462, file_name);
  password_ = password;
  needs_repair = false;
  if (!read_only && PlatformFileExists(file_name))
    read_only = detect_read_only(file_name, multi_user && !exclusive);
  uint8_t share = 1;
  exclusive_ = false;
  if (!read_only && exclusive) {
    share = 0;
    multi_user = false;
    exclusive_ = true;
  }
  multi_user_ = multi_user;
  file_.OpenFile(file_name, read_only ? 0 : 1, share);
  try {
    base_offset_ = find_base_offset();
    if (!LockHeader()) RaiseError(20230);
    try {
      // A file too short for a header is read as far as it goes; the signature test
      // below then refuses it.
      std::memset(header_.Bytes(), 0, kMainHeaderSize);
      const int64_t size = file_.GetSize();
      const int64_t available = std::max<int64_t>(0, std::min<int64_t>(kMainHeaderSize, size - base_offset_));
      if (available > 0)
        file_.ReadBufferWithError(header_.Bytes(), 10464, base_offset_, static_cast<int32_t>(available));
    } catch (...) {
      UnlockHeader();
      throw;
    }
    UnlockHeader();
    needs_repair = header_.WriteState() != kWriteStateConsistent ||
                   header_.FormatVersion() < kRepairBelowVersion;
    if (!header_.HasSignature()) {
      // The bytes found are quoted as text, up to the first zero byte.
      const std::string found = header_.Signature();
      RaiseError(10470, found.substr(0, found.find('\0')),
                 std::string(kDatabaseSignature, kSignatureSize));
    }
    if (header_.PageSize() <= kPageHeaderSize + 10 || header_.PagesPerExtent() == 0)
      RaiseError(20237);
    SetPageSize(header_.PageSize(), kPageHeaderSize);
    read_prologue_after_header();
    free_space_ = std::make_unique<TABSDatabaseFreeSpaceManager>(*this);
  } catch (...) {
    close_quietly();
    throw;
  }
}

void TABSDiskPageManager::read_prologue_after_header() {
  check_block_offset_ = base_offset_ + header_.HeaderSize();
  file_.ReadBufferWithError(check_block_.Bytes(), 30439, check_block_offset_, kCheckBlockSize);
  if (header_.Encrypted()) {
    // The database's cipher is the one its check block names.
    password_.CryptoAlgorithm = check_block_.CryptoAlgorithm();
    if (!IsKnownCipher(password_.CryptoAlgorithm)) RaiseError(40202, password_.CryptoAlgorithm);
    VerifyPassword(password_.Password);
  }
  lock_area_offset_ = check_block_offset_ + check_block_.Size();
  if (lock_area_offset_ != base_offset_ + kMainHeaderSize + kCheckBlockSize) RaiseError(20237);
  uint8_t size_bytes[2];
  file_.ReadBufferWithError(size_bytes, 30442, lock_area_offset_, 2);
  // The lock area's size places the counter and every page after it: a size other than
  // the one the layout has would shift all page offsets, so it marks a damaged file.
  if (LoadLE<uint16_t>(size_bytes) != kLockAreaSize) RaiseError(20237);
  std::memcpy(lock_area_.Bytes(), size_bytes, 2);
  next_object_id_offset_ = lock_area_offset_ + LoadLE<uint16_t>(size_bytes);
  page0_offset_ = next_object_id_offset_ + 4;
}

void TABSDiskPageManager::VerifyPassword(const std::string& password) const {
  if (!header_.Encrypted()) return;
  uint8_t check[TABSCheckBlock::kCheckByteCount];
  std::memcpy(check, check_block_.CheckBytes(), sizeof check);
  if (!DecryptBuffer(check_block_.CryptoAlgorithm(), check, sizeof check, password))
    RaiseError(40206);
  if (BufferChecksum(0, check, sizeof check) != check_block_.Checksum()) RaiseError(30445);
}

void TABSDiskPageManager::CloseDatabase() {
  FreeAllPages();
  // Commits made without barriers reach the medium when the file is closed.
  if (unsynced_writes_ && file_.IsOpened() && !ReadOnly()) file_.SyncData();
  unsynced_writes_ = false;
  free_space_.reset();
  header_lock_depth_ = 0;
  if (file_.IsOpened()) file_.CloseFile();
}

// ---- Slots ---------------------------------------------------------------------------

int32_t TABSDiskPageManager::GetTotalPageCount() {
  if (!LockHeader()) RaiseError(20236);
  try {
    ReadMainHeader();
  } catch (...) {
    UnlockHeader();
    throw;
  }
  UnlockHeader();
  return header_.TotalPageCount();
}

bool TABSDiskPageManager::IsCachedPageValid(int32_t session, TABSPage* page) {
  if (!multi_user_) return true;
  int32_t counter = 0;
  if (!table_pages_cache_.CurrentTableCounter(session, &counter)) return false;
  const TABSPageValidation& v = page->Validation(session);
  return v.Known && v.TableCounter == counter;
}

void TABSDiskPageManager::RememberPageValidity(int32_t session, TABSPage* page) {
  if (!multi_user_) return;
  int32_t counter = 0;
  if (!table_pages_cache_.CurrentTableCounter(session, &counter)) return;
  TABSPageValidation& v = page->Validation(session);
  v.TableCounter = counter;
  v.Known = true;
}

void TABSDiskPageManager::RevalidatePage(TABSPage* page) {
  uint8_t bytes[4];
  int32_t on_disk = kFreedPageCounter;
  if (file_.ReadBuffer(bytes, 0, PageOffset(page->PageNo()) + 4, 4)) on_disk = LoadLE<int32_t>(bytes);
  if (on_disk == kFreedPageCounter || on_disk == page->ModificationCounter()) {
    page->SetModificationCounter(on_disk);
    return;
  }
  ReadPageOrRaise(page);
}

void TABSDiskPageManager::AllocatePageNo(TABSPage* page) {
  AssignPageNo(page, free_space_->AllocatePage());
  page->AllocBuffer();
}

void TABSDiskPageManager::ReleasePageNo(int32_t page_no) {
  uint8_t freed[4];
  StoreLE<int32_t>(freed, kFreedPageCounter);
  file_.WriteBuffer(freed, 20198, PageOffset(page_no) + 4, 4);
  free_space_->ReleasePage(page_no);
}

bool TABSDiskPageManager::ReadPage(TABSPage* page) {
  if (!page->HasBuffer()) page->AllocBuffer();
  if (!file_.ReadBuffer(page->Buffer(), 0, PageOffset(page->PageNo()), PageSize())) {
    // Nothing of a partial read is kept: the page is a fresh buffer marked as freed.
    std::memset(page->Buffer(), 0, PageSize());
    page_header::Initialize(page->Buffer());
    page->SetModificationCounter(kFreedPageCounter);
    return false;
  }
  if (header_.Encrypted() && !IsMapPage(page->PageNo())) {
    uint8_t* header = page->Header();
    // A page whose cipher cannot be applied is refused, never taken as plain text.
    if (!DecryptBuffer(page_header::PageCipher(header), page->Data(), DataSize(), password_.Password))
      RaiseError(40204, page->PageNo());
    if (BufferChecksum(0, page->Data(), DataSize()) != page_header::DataCRC(header))
      RaiseError(30446, page->PageNo());
  }
  MarkLoaded(page);
  return true;
}

const uint8_t* TABSDiskPageManager::prepare_write(TABSPage* page, uint8_t* sealed) {
  int64_t counter = static_cast<int64_t>(page->ModificationCounter()) + 1;
  if (counter >= 0x7FFFFFFD) counter = 0;
  page->SetModificationCounter(static_cast<int32_t>(counter));
  uint8_t* header = page->Header();
  const bool encrypt =
      header_.Encrypted() && !IsMapPage(page->PageNo()) && page->EncryptOnWrite();
  if (!encrypt) return page->Buffer();
  page_header::SetPageCipher(header, password_.CryptoAlgorithm);
  page_header::SetDataCRC(header, BufferChecksum(0, page->Data(), DataSize()));
  std::memcpy(sealed, page->Buffer(), PageSize());
  if (!EncryptBuffer(password_.CryptoAlgorithm, sealed + kPageHeaderSize, DataSize(), password_.Password))
    RaiseError(40203, page->PageNo());
  return sealed;
}

void TABSDiskPageManager::WritePage(TABSPage* page) {
  thread_local std::vector<uint8_t> sealed;
  sealed.resize(PageSize());
  file_.WriteBuffer(prepare_write(page, sealed.data()), 10469, PageOffset(page->PageNo()), PageSize());
}

void TABSDiskPageManager::WritePages(TABSPage* const* pages, size_t count) {
  thread_local std::vector<uint8_t> sealed;
  thread_local std::vector<const uint8_t*> blocks;
  const size_t size = PageSize();
  // Runs of at most kLongestRun pages: the encrypted copies of one run are kept for the
  // thread's next write, so a long run must not leave a large buffer behind.
  constexpr size_t kLongestRun = 256;
  for (size_t first = 0; first < count;) {
    size_t end = first + 1;
    while (end < count && end - first < kLongestRun && pages[end]->PageNo() == pages[end - 1]->PageNo() + 1) ++end;
    if (sealed.size() < (end - first) * size) sealed.resize((end - first) * size);
    blocks.clear();
    for (size_t i = first; i < end; ++i) blocks.push_back(prepare_write(pages[i], sealed.data() + (i - first) * size));
    file_.WriteRun(blocks.data(), static_cast<int32_t>(blocks.size()), PageSize(), 10469,
                   PageOffset(pages[first]->PageNo()));
    first = end;
  }
}

void TABSDiskPageManager::FreePage(int32_t session, int32_t page_no) {
  if (IsMapPage(page_no)) RaiseError(30434, page_no);
  TABSPageManager::FreePage(session, page_no);
}

TABSPageHandle TABSDiskPageManager::GetPage(int32_t session, int32_t page_no, bool validate,
                                            uint16_t expected_type) {
  // A map page never enters the cache (refused here, never allocated), so a cached page
  // number needs no test, which costs several divisions.
  if (!SharedCache().Find(page_no) && IsMapPage(page_no)) RaiseError(30434, page_no);
  return TABSPageManager::GetPage(session, page_no, validate, expected_type);
}

void TABSDiskPageManager::CommitPages(int32_t session) {
  // Refuse a commit that cannot complete before the header says one is under way (a
  // handle still alive refuses even a commit with nothing to write).
  CheckCommit(session);
  if (!SessionHasChanges(session)) return;
  if (!LockHeader()) RaiseError(20213);
  try {
    // WriteState 1 is on the medium before any write of the commit, and every write of
    // the commit before WriteState 2: whatever a power cut keeps of the writes between
    // the barriers, the header then says a commit was under way.
    ReadMainHeader();
    header_.SetWriteState(kWriteStateWriting);
    WriteMainHeader();
    WriteBarrier();
    TABSPageManager::CommitPages(session);
    WriteBarrier();
    header_.SetCommitCounter(header_.CommitCounter() + 1);
    header_.SetWriteState(kWriteStateConsistent);
    WriteMainHeader();
    WriteBarrier();
  } catch (...) {
    UnlockHeader();
    throw;
  }
  UnlockHeader();
}

// ---- Map pages, size ----------------------------------------------------------------

void TABSDiskPageManager::ReadMapPage(int32_t page_no, uint8_t* buffer) {
  file_.ReadBufferWithError(buffer, 30426, PageOffset(page_no), PageSize());
}

void TABSDiskPageManager::WriteMapPage(int32_t page_no, const uint8_t* buffer) {
  file_.WriteBuffer(buffer, 30429, PageOffset(page_no), PageSize());
}

void TABSDiskPageManager::GrowFile(int32_t pages) {
  const int32_t total = header_.TotalPageCount() + pages;
  file_.SetSize(page0_offset_ + static_cast<int64_t>(total) * PageSize());
  header_.SetTotalPageCount(total);
}

void TABSDiskPageManager::ShrinkFile(int32_t pages) {
  const int32_t total = header_.TotalPageCount() - pages;
  header_.SetTotalPageCount(total);
  // The header stops counting the pages before they leave the file: the other order
  // could leave, after a power cut, a header that counts map pages no longer there.
  WriteMainHeader();
  WriteBarrier();
  file_.SetSize(page0_offset_ + static_cast<int64_t>(total) * PageSize());
}

// ---- Direct byte access -------------------------------------------------------------

void TABSDiskPageManager::ReadPageBytes(int32_t page_no, int32_t offset, void* buffer,
                                        int32_t count) {
  if (offset < 0 || count < 0 || offset + count > PageSize()) RaiseError(10476, offset, PageSize());
  file_.ReadBufferWithError(buffer, 10474, PageOffset(page_no) + offset, count);
}

void TABSDiskPageManager::WritePageBytes(int32_t page_no, int32_t offset, const void* buffer,
                                         int32_t count) {
  if (offset < 0 || count < 0 || offset + count > PageSize()) RaiseError(10477, offset, PageSize());
  file_.WriteBuffer(buffer, 10475, PageOffset(page_no) + offset, count);
}

bool TABSDiskPageManager::LockPageBytes(int32_t page_no, int32_t offset, int32_t count) {
  return file_.LockByte(count, PageOffset(page_no) + offset);
}

bool TABSDiskPageManager::UnlockPageBytes(int32_t page_no, int32_t offset, int32_t count) {
  return file_.UnlockByte(count, PageOffset(page_no) + offset);
}

bool TABSDiskPageManager::IsPageByteLocked(int32_t page_no, int32_t offset) {
  return file_.IsByteLocked(PageOffset(page_no) + offset);
}

bool TABSDiskPageManager::IsPageRegionLocked(int32_t page_no, int32_t offset, int32_t count) {
  return file_.IsRegionLocked(count, PageOffset(page_no) + offset);
}

void TABSDiskPageManager::MarkPageUsed(int32_t page_no) { free_space_->MarkPageUsed(page_no); }

}  // namespace dadoveri
