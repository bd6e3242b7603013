#include "engine/storage/page.h"

#include <cstring>

#include "engine/base/engine_error.h"
#include "engine/storage/page_manager.h"

namespace dadoveri {

namespace {

constexpr std::string_view kPageTypeNames[] = {
    "Unknown Page",       "Empty Page",           "EAM Page",
    "PFS Page",           "FileSystemDirectory Page", "ActiveSessionList Page",
    "TableList Page",     "TableLocks Page",      "TableMetaData Page",
    "TableMostUpdated Page", "TableRecord Page",  "TableBlob Page",
    "TableIndex Page",
};

}  // namespace

std::string_view PageTypeName(uint16_t code) {
  if (code > ptTableIndex) RaiseError(30382, code);
  return kPageTypeNames[code];
}

void CheckPageType(uint16_t found, uint16_t wanted, int32_t error_code) {
  if (found == wanted) return;
  // An unknown code in the found page names itself through the unknown-type error.
  RaiseError(error_code, PageTypeName(found), PageTypeName(wanted));
}

namespace page_header {

void Initialize(uint8_t* p) {
  std::memset(p, 0, kPageHeaderSize);
  std::memcpy(p, "ABSP", 4);
  SetNextPageNo(p, -1);
  SetOwnerObjectID(p, -1);
  StoreLE<int32_t>(p + 26, -1);
}

}  // namespace page_header

TABSPage::TABSPage(TABSPageManager* manager, int32_t page_no) : page_no_(page_no), manager_(manager) {}

TABSPage::~TABSPage() {
  if (owns_buffer_) delete[] buffer_;
}

void TABSPage::AllocBuffer() {
  const uint32_t size = manager_->PageSize();
  if (owns_buffer_) delete[] buffer_;
  buffer_ = new uint8_t[size]();
  buffer_size_ = size;
  owns_buffer_ = true;
  if (manager_->HeaderSize() >= kPageHeaderSize) page_header::Initialize(buffer_);
}

void TABSPage::SetExternalBuffer(uint8_t* buffer, uint32_t size) {
  if (owns_buffer_) delete[] buffer_;
  buffer_ = buffer;
  buffer_size_ = size;
  owns_buffer_ = false;
}

void TABSPage::EnlargeBuffer(uint32_t size) {
  if (size < manager_->PageSize()) RaiseError(20039);
  if (!buffer_) RaiseError(20038);
  if (size <= buffer_size_) return;
  auto* bigger = new uint8_t[size]();
  std::memcpy(bigger, buffer_, buffer_size_);
  if (owns_buffer_) delete[] buffer_;
  buffer_ = bigger;
  buffer_size_ = size;
  owns_buffer_ = true;
}

uint8_t* TABSPage::Data() { return buffer_ + manager_->HeaderSize(); }
const uint8_t* TABSPage::Data() const { return buffer_ + manager_->HeaderSize(); }
uint32_t TABSPage::DataSize() const { return manager_->DataSize(); }
uint32_t TABSPage::PageSize() const { return manager_->PageSize(); }
uint32_t TABSPage::HeaderSize() const { return manager_->HeaderSize(); }

TABSPageValidation& TABSPage::Validation(int32_t session) {
  const size_t index = static_cast<size_t>(session + 2);
  if (validations_.size() <= index) validations_.resize(index + 1);
  return validations_[index];
}

}  // namespace dadoveri
