// The system directory: the transacted internal file at page 2 (page type 4, never
// compressed) that names the start pages of the database's own files, as 5-byte
// entries of a system-file code and a signed 32-bit StartPageNo.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "engine/storage/internal_file.h"

namespace dadoveri {

class TABSPageManager;

inline constexpr int32_t kSystemDirectoryPageNo = 2;

enum TABSSystemFileCode : uint8_t { sfTableList = 1, sfActiveSessions = 2 };

class TABSSystemDirectory {
 public:
  explicit TABSSystemDirectory(TABSPageManager& pages);

  // Creates the directory, empty, in `session`; its first page must be page 2 (30392).
  void Create(int32_t session);
  // Opens the directory at page 2 and reads all its entries.
  void Open(int32_t session);
  void Close();

  // StartPageNo of a system file; -1 when the code is absent.
  int32_t Lookup(uint8_t code) const;
  // Adds the entry, or changes the start page of an existing code.
  void SetEntry(uint8_t code, int32_t start_page_no);
  // Rewrites the whole directory in `session`.
  void Write(int32_t session);

 private:
  TABSInternalDBTransactedAccessFile file_;
  std::vector<std::pair<uint8_t, int32_t>> entries_;
};

}  // namespace dadoveri
