#include "engine/database/database_list.h"

#include <filesystem>

#include "engine/table/meta_object_def.h"

namespace dadoveri {

namespace {

std::string file_key(const std::string& file_name) {
  std::error_code ec;
  const auto path = std::filesystem::weakly_canonical(file_name, ec);
  return ec ? file_name : path.string();
}

}  // namespace

TABSDatabaseList::TABSDatabaseList()
    : memory_(std::make_unique<TABSMemoryDatabaseData>()), temporary_(std::make_unique<TABSTemporaryDatabaseData>()) {}

TABSDatabaseList& TABSDatabaseList::Instance() {
  static TABSDatabaseList list;
  return list;
}

TABSDatabaseData* TABSDatabaseList::Find(std::string_view name) {
  if (SameName(name, kMemoryDatabaseName)) return memory_.get();
  if (SameName(name, kTemporaryDatabaseName)) return temporary_.get();
  std::lock_guard guard(lock_);
  const auto it = files_.find(file_key(std::string(name)));
  if (it == files_.end()) return nullptr;
  // The holders keep it alive; a registry whose last holder let go is gone.
  const std::shared_ptr<TABSDiskDatabaseData> held = it->second.lock();
  return held.get();
}

std::shared_ptr<TABSDiskDatabaseData> TABSDatabaseList::AttachFile(const std::string& file_name) {
  std::lock_guard guard(lock_);
  std::erase_if(files_, [](const auto& entry) { return entry.second.expired(); });
  const std::string key = file_key(file_name);
  if (auto existing = files_[key].lock()) return existing;
  auto created = std::make_shared<TABSDiskDatabaseData>(file_name);
  files_[key] = created;
  return created;
}

int32_t TABSDatabaseList::FileCount() {
  std::lock_guard guard(lock_);
  std::erase_if(files_, [](const auto& entry) { return entry.second.expired(); });
  return static_cast<int32_t>(files_.size());
}

}  // namespace dadoveri
