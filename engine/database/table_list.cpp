#include "engine/database/table_list.h"

#include <algorithm>
#include <cstring>

#include "engine/base/engine_error.h"
#include "engine/base/little_endian.h"
#include "engine/storage/page.h"
#include "engine/table/meta_object_def.h"

namespace dadoveri {

TABSTableList::TABSTableList(TABSPageManager& pages) : file_(pages) {}

void TABSTableList::CreateFile(int32_t session) {
  if (IsOpened()) RaiseError(30393);
  file_.CreateFile(session, ptTableList);
  entries_.clear();
}

void TABSTableList::OpenFile(int32_t session, int32_t start_page_no) {
  if (IsOpened()) RaiseError(30393);
  file_.OpenFile(start_page_no, ptTableList);
  try {
    Reload(session);
  } catch (...) {
    CloseFile();
    throw;
  }
}

void TABSTableList::CloseFile() {
  file_.CloseFile();
  entries_.clear();
}

void TABSTableList::Reload(int32_t session) {
  const std::vector<uint8_t> bytes = file_.ReadAll(session);
  std::vector<TABSTableListEntry> entries;
  for (size_t at = 0; at + kTableListEntrySize <= bytes.size(); at += kTableListEntrySize) {
    const uint8_t* e = &bytes[at];
    TABSTableListEntry entry;
    entry.TableName.assign(reinterpret_cast<const char*>(e + 1), e[0]);
    entry.ObjectID = LoadLE<int32_t>(e + 256);
    entry.MetadataStartPageNo = LoadLE<int32_t>(e + 260);
    entry.MostUpdatedStartPageNo = LoadLE<int32_t>(e + 264);
    entry.LocksStartPageNo = LoadLE<int32_t>(e + 268);
    entries.push_back(std::move(entry));
  }
  entries_ = std::move(entries);
}

int32_t TABSTableList::IndexOf(std::string_view table_name) const {
  for (size_t i = 0; i < entries_.size(); ++i)
    if (SameName(entries_[i].TableName, table_name)) return static_cast<int32_t>(i);
  return -1;
}

const TABSTableListEntry& TABSTableList::Find(std::string_view table_name) const {
  const int32_t i = IndexOf(table_name);
  if (i < 0) RaiseError(30396, table_name);
  return entries_[static_cast<size_t>(i)];
}

void TABSTableList::write(int32_t session) {
  std::vector<uint8_t> bytes(entries_.size() * kTableListEntrySize, 0);
  for (size_t i = 0; i < entries_.size(); ++i) {
    uint8_t* e = &bytes[i * kTableListEntrySize];
    const TABSTableListEntry& entry = entries_[i];
    const size_t n = std::min(entry.TableName.size(), kMaxObjectNameLength);
    e[0] = static_cast<uint8_t>(n);
    std::memcpy(e + 1, entry.TableName.data(), n);
    StoreLE(e + 256, entry.ObjectID);
    StoreLE(e + 260, entry.MetadataStartPageNo);
    StoreLE(e + 264, entry.MostUpdatedStartPageNo);
    StoreLE(e + 268, entry.LocksStartPageNo);
  }
  file_.WriteFile(session, bytes.data(), static_cast<int32_t>(bytes.size()));
}

void TABSTableList::Add(int32_t session, const TABSTableListEntry& entry) {
  if (IndexOf(entry.TableName) >= 0) RaiseError(30395, entry.TableName);
  entries_.push_back(entry);
  try {
    write(session);
  } catch (...) {
    entries_.pop_back();
    throw;
  }
}

void TABSTableList::Remove(int32_t session, std::string_view table_name) {
  const int32_t i = IndexOf(table_name);
  if (i < 0) RaiseError(30405, table_name);
  const TABSTableListEntry removed = entries_[static_cast<size_t>(i)];
  entries_.erase(entries_.begin() + i);
  try {
    write(session);
  } catch (...) {
    entries_.insert(entries_.begin() + i, removed);
    throw;
  }
}

void TABSTableList::Rename(int32_t session, std::string_view old_name, const std::string& new_name) {
  const int32_t i = IndexOf(old_name);
  if (i < 0) RaiseError(30397, old_name);
  const int32_t existing = IndexOf(new_name);
  if (existing >= 0 && existing != i) RaiseError(30395, new_name);
  const std::string previous = entries_[static_cast<size_t>(i)].TableName;
  entries_[static_cast<size_t>(i)].TableName = new_name;
  try {
    write(session);
  } catch (...) {
    entries_[static_cast<size_t>(i)].TableName = previous;
    throw;
  }
}

}  // namespace dadoveri
