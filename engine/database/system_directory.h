// TABSSystemDirectory: the database's directory of system files, a transacted internal
// file (page type 4) that always starts at page 2. It holds 5-byte entries: a system-file
// code, then the file's start page (int32).
#pragma once

#include <cstdint>
#include <vector>

#include "engine/storage/internal_file.h"

namespace dadoveri {

class TABSPageManager;

inline constexpr int32_t kSystemDirectoryPageNo = 2;

enum TABSSystemFileCode : uint8_t {
  sfTableList = 1,
  sfActiveSessions = 2,
};

class TABSSystemDirectory {
 public:
  explicit TABSSystemDirectory(TABSPageManager& pages);

  // Creates the directory in `session`; its first page must be page 2, else "Error
  // Creating SystemDirectory. SystemDirectoryPageNo=%d. Real PageNo=%d." (30392).
  void CreateFile(int32_t session);
  // Opens the directory at page 2 and reads every entry.
  void OpenFile(int32_t session);
  void CloseFile();
  bool IsOpened() const { return file_.IsOpened(); }

  // The start page of a system file; -1 when the code is absent.
  int32_t StartPageNo(uint8_t code) const;
  void SetStartPageNo(uint8_t code, int32_t start_page_no);
  // Writes every entry.
  void WriteFile(int32_t session);

  struct Entry {
    uint8_t Code;
    int32_t StartPageNo;
  };
  const std::vector<Entry>& Entries() const { return entries_; }

 private:
  TABSInternalDBTransactedAccessFile file_;
  std::vector<Entry> entries_;
};

}  // namespace dadoveri
