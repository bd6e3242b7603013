// Internal files: byte streams kept in a chain of pages of one page type. The first
// page's data area starts with a 10-byte header; the stream follows it and continues at
// offset 0 of every further page's data area.
//
//   TABSInternalDBTransactedAccessFile — through the page cache within a session:
//     changes become visible at commit and vanish at rollback; encrypted like any page.
//     Header: 10 | stored byte count | logical size | compression algorithm (0 none,
//     1 zlib, 2 bzip2, 3 PPM; the content is compressed whole, as one block).
//   TABSInternalDBDirectAccessFile — straight to the file at computed offsets, never
//     encrypted; its bytes are lock targets. Header: 10 | file size | zero.
//     The first byte of its first page is the file's own lock byte.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/storage/compression.h"

namespace dadoveri {

class TABSPageManager;
class TABSDiskPageManager;

inline constexpr int kInternalFileHeaderSize = 10;

class TABSInternalDBTransactedAccessFile {
 public:
  explicit TABSInternalDBTransactedAccessFile(TABSPageManager& pages);

  // Creates the file's first page in `session` with an empty stream.
  void CreateFile(int32_t session, uint16_t page_type, uint8_t compression_algorithm = acNone,
                  uint8_t compression_mode = 1);
  void OpenFile(int32_t start_page_no, uint16_t page_type, uint8_t compression_algorithm = acNone,
                uint8_t compression_mode = 1);
  void CloseFile();
  // Frees every page of the chain in `session` and closes the file.
  void DeleteFile(int32_t session);
  bool IsOpened() const { return start_page_no_ != -1; }
  int32_t StartPageNo() const { return start_page_no_; }

  // Logical (uncompressed) size. The header is checked against the chain first, as every
  // read does: a stored count the chain cannot hold raises 30388, a negative logical size
  // 30387, an unknown header or compression 20189, a chain that loops 20189.
  int32_t GetSize(int32_t session);
  // Sets the stored byte count: links fresh pages after the page holding the last
  // stored byte, or ends the chain at the page that now holds it (freeing the rest).
  void SetSize(int32_t session, int32_t stored_size);
  // Reads the first `count` logical bytes (30387 past the logical size). Nothing is
  // allocated or copied before the header has been checked against the chain.
  void ReadFile(int32_t session, void* buffer, int32_t count);
  // Replaces the whole content with `count` bytes, compressed with the file's algorithm.
  void WriteFile(int32_t session, const void* buffer, int32_t count);
  std::vector<uint8_t> ReadAll(int32_t session);
  // The page numbers of the chain in order, each page read as a read would read it (its
  // type checked, a loop refused with 20189).
  std::vector<int32_t> ChainPages(int32_t session);

 private:
  void require_open(const char* operation) const;
  struct Header {
    int32_t stored;
    int32_t logical;
    uint8_t algorithm;
    uint8_t mark = kInternalFileHeaderSize;  // byte 0 of the header
  };
  Header read_header(int32_t session);
  void write_header(int32_t session, const Header& header);
  std::vector<int32_t> chain(int32_t session);
  // The chain, after the header has been checked against it.
  std::vector<int32_t> checked_chain(int32_t session, const Header& header);
  // The first `count` stored bytes of a checked chain.
  std::vector<uint8_t> read_stored(int32_t session, const std::vector<int32_t>& pages, int32_t count);
  // The first `count` logical bytes, or all of them when `whole`.
  std::vector<uint8_t> read_content(int32_t session, int32_t count, bool whole);

  TABSPageManager& pages_;
  int32_t start_page_no_ = -1;
  uint16_t page_type_ = 0;
  uint8_t algorithm_ = acNone;
  uint8_t mode_ = 1;
};

class TABSInternalDBDirectAccessFile {
 public:
  explicit TABSInternalDBDirectAccessFile(TABSDiskPageManager& pages);

  // Allocates the chain for `size` bytes in `session` (the pages reach the file at the
  // session's commit) and opens the file.
  void CreateFile(int32_t session, uint16_t page_type, int32_t size);
  void OpenFile(int32_t start_page_no, uint16_t page_type);
  void CloseFile();
  void DeleteFile(int32_t session);
  bool IsOpened() const { return start_page_no_ != -1; }
  int32_t StartPageNo() const { return start_page_no_; }

  int32_t GetSize();
  // Bytes the chain's pages can hold.
  int32_t Capacity() const;
  // The page numbers of the chain, as opening found them.
  const std::vector<int32_t>& ChainPages() const { return chain_; }
  void DirectReadBuffer(int32_t position, void* buffer, int32_t count);
  void DirectWriteBuffer(int32_t position, const void* buffer, int32_t count);
  // The file's own lock (first byte of its first page), 4500 attempts 20 ms apart.
  bool LockFile();
  bool UnlockFile();
  bool LockByte(int32_t position);
  bool UnlockByte(int32_t position);
  bool IsByteLocked(int32_t position);
  bool IsRegionLocked(int32_t position, int32_t count);

 private:
  void require_open(const char* operation) const;
  void load_chain();
  // Calls fn(page_no, page_offset, span, done) for the pieces of a byte range.
  template <typename Fn>
  void for_each_span(int32_t position, int32_t count, Fn&& fn);

  TABSDiskPageManager& pages_;
  int32_t start_page_no_ = -1;
  uint16_t page_type_ = 0;
  int32_t size_ = 0;
  std::vector<int32_t> chain_;
};

}  // namespace dadoveri
