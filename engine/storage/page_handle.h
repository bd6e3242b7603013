// TABSPageHandle: the one way to hold a page of a page manager. GetPage and AddPage hand
// one out; it gives the page back when it goes (or at Release), so no path can forget to.
// A holder that changes the page's bytes says so with MarkDirty (or takes the bytes with
// MutableData, which marks it) before letting the handle go; the page manager then keeps
// the change for the holder's session until commit or rollback.
//
// Handles are move-only and must not outlive their page manager. Commit and rollback of a
// session refuse while any handle of that session is alive.
#pragma once

#include <cstdint>
#include <utility>

#include "engine/storage/page.h"

namespace dadoveri {

class TABSPageHandle {
 public:
  TABSPageHandle() = default;
  TABSPageHandle(TABSPageHandle&& other) noexcept : page_(std::exchange(other.page_, nullptr)) {}
  TABSPageHandle& operator=(TABSPageHandle&& other) noexcept {
    if (this != &other) {
      Release();
      page_ = std::exchange(other.page_, nullptr);
    }
    return *this;
  }
  TABSPageHandle(const TABSPageHandle&) = delete;
  TABSPageHandle& operator=(const TABSPageHandle&) = delete;
  ~TABSPageHandle() { Release(); }

  // Gives the page back now; the handle is empty afterwards.
  inline void Release() noexcept;
  explicit operator bool() const { return page_ != nullptr; }

  int32_t PageNo() const { return page_->PageNo(); }
  uint32_t PageSize() const { return page_->PageSize(); }
  uint32_t HeaderSize() const { return page_->HeaderSize(); }
  uint32_t DataSize() const { return page_->DataSize(); }
  bool Dirty() const { return page_->Dirty(); }

  // Reading.
  const uint8_t* Buffer() const { return page_->Buffer(); }
  const uint8_t* Data() const { return page_->Data(); }
  uint16_t PageType() const { return page_->PageType(); }
  int32_t NextPageNo() const { return page_->NextPageNo(); }
  int32_t ModificationCounter() const { return page_->ModificationCounter(); }

  // Writing. Bytes taken with Bytes()/DataBytes() may be changed only by a holder that
  // marks the page dirty before giving it back; the Mutable… forms and the setters mark it.
  void MarkDirty() { page_->dirty_ = true; }
  uint8_t* Bytes() { return page_->Buffer(); }
  uint8_t* DataBytes() { return page_->Data(); }
  uint8_t* MutableBuffer() {
    MarkDirty();
    return page_->Buffer();
  }
  uint8_t* MutableData() {
    MarkDirty();
    return page_->Data();
  }
  void SetNextPageNo(int32_t v) {
    MarkDirty();
    page_->SetNextPageNo(v);
  }
  void SetPageType(uint16_t v) {
    MarkDirty();
    page_->SetPageType(v);
  }
  // Pages of direct-access internal files are written plain even in encrypted files.
  void SetEncryptOnWrite(bool v) { page_->encrypt_on_write_ = v; }

 private:
  friend class TABSPageManager;
  explicit TABSPageHandle(TABSPage* page) : page_(page) {}

  TABSPage* page_ = nullptr;
};

}  // namespace dadoveri
