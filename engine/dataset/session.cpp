#include "engine/dataset/session.h"

#include <algorithm>
#include <cstdio>

#include "engine/base/engine_error.h"
#include "engine/database/database_list.h"
#include "engine/dataset/database.h"
#include "engine/dataset/database_error.h"
#include "engine/table/meta_object_def.h"

namespace dadoveri {

namespace {
constexpr const char* kDefaultSessionName = "Default";
}

// ---- TABSSessionList ----

TABSSessionList::TABSSessionList() {
  // The database list is made first so that it outlives the sessions at process exit.
  TABSDatabaseList::Instance();
  default_.reset(new TABSSession(true));
  sessions_.push_back(default_.get());
}

TABSSessionList::~TABSSessionList() {
  // Engine shutdown: the default session goes with the list (the others belong to their
  // owners and are gone by now).
  sessions_.clear();
  default_.reset();
}

TABSSessionList& TABSSessionList::Instance() {
  static TABSSessionList list;
  return list;
}

TABSSession* TABSSessionList::FindSessionOrNull(const std::string& name) {
  if (name.empty()) return default_.get();
  std::lock_guard guard(list_lock_);
  for (TABSSession* s : sessions_)
    if (SameName(s->SessionName(), name)) return s;
  return nullptr;
}

TABSSession& TABSSessionList::FindSession(const std::string& name) {
  TABSSession* s = FindSessionOrNull(name);
  if (!s) RaiseError(20002, name);
  return *s;
}

std::vector<TABSSession*> TABSSessionList::Sessions() {
  std::lock_guard guard(list_lock_);
  return sessions_;
}

int32_t TABSSessionList::Count() {
  std::lock_guard guard(list_lock_);
  return static_cast<int32_t>(sessions_.size());
}

int32_t TABSSessionList::TakeAutoNumber() {
  std::lock_guard guard(list_lock_);
  size_t i = 0;
  while (i < auto_numbers_.size() && auto_numbers_[i]) ++i;
  if (i == auto_numbers_.size()) auto_numbers_.push_back(false);
  auto_numbers_[i] = true;
  return static_cast<int32_t>(i) + 1;
}

void TABSSessionList::ReleaseAutoNumber(int32_t number) {
  std::lock_guard guard(list_lock_);
  if (number >= 1 && static_cast<size_t>(number) <= auto_numbers_.size())
    auto_numbers_[static_cast<size_t>(number - 1)] = false;
}

void TABSSessionList::Add(TABSSession* session) {
  std::lock_guard guard(list_lock_);
  // The first session added is the default one.
  if (sessions_.empty()) session->default_ = true;
  sessions_.push_back(session);
}

void TABSSessionList::Remove(TABSSession* session) {
  std::lock_guard guard(list_lock_);
  sessions_.erase(std::remove(sessions_.begin(), sessions_.end(), session), sessions_.end());
}

// ---- TABSSession ----

// The default session, made by the list itself.
TABSSession::TABSSession(bool) {
  session_name_ = kDefaultSessionName;
  default_ = true;
}

TABSSession::TABSSession(TComponent* owner) : TComponent(owner) {
  TABSSessionList& list = TABSSessionList::Instance();
  // A session beside an automatically named one on the same owner is refused.
  if (owner) {
    for (int i = 0; i < owner->ComponentCount(); ++i) {
      auto* other = dynamic_cast<TABSSession*>(owner->Components(i));
      // The error unwinds the base, which takes this component off its owner again.
      if (other && other != this && other->AutoSessionName())
        DatabaseError(kMsgAutoSessionNameAddSession, nullptr, other->SessionName());
    }
  }
  list.Add(this);
}

TABSSession::~TABSSession() {
  Destroy();
  try {
    SetActive(false);
  } catch (...) {
  }
  // Components still registered fall back to no session.
  for (TABSDatabase* db : std::vector<TABSDatabase*>(databases_)) {
    db->session_ = nullptr;
    if (!db->Destroying()) db->session_name_.clear();
  }
  databases_.clear();
  DestroyComponents();
  release_auto_number();
  if (!default_) TABSSessionList::Instance().Remove(this);
}

void TABSSession::check_inactive() const {
  if (active_) DatabaseError(kMsgSessionActive, this);
}

void TABSSession::SetSessionName(const std::string& name) {
  if (auto_session_name_) DatabaseError(kMsgAutoSessionNameRename, this);
  if (name == session_name_) return;
  check_inactive();
  if (!name.empty()) {
    TABSSession* other = TABSSessionList::Instance().FindSessionOrNull(name);
    if (other && other != this) DatabaseError(kMsgDuplicateSessionName, this, name);
  }
  session_name_ = name;
}

void TABSSession::SetName(const std::string& name) {
  TComponent::SetName(name);
  if (auto_session_name_) apply_auto_name();
}

void TABSSession::check_owner_sessions(bool) const {
  if (!Owner()) return;
  for (int i = 0; i < Owner()->ComponentCount(); ++i) {
    auto* other = dynamic_cast<TABSSession*>(Owner()->Components(i));
    if (other && other != this) DatabaseError(kMsgAutoSessionNameTwoSessions, this);
  }
}

void TABSSession::SetAutoSessionName(bool value) {
  if (value == auto_session_name_) return;
  if (value) {
    check_owner_sessions(true);
    check_inactive();
    auto_number_ = TABSSessionList::Instance().TakeAutoNumber();
    auto_session_name_ = true;
    apply_auto_name();
  } else {
    check_inactive();
    auto_session_name_ = false;
    release_auto_number();
  }
}

void TABSSession::release_auto_number() {
  if (auto_number_ > 0) TABSSessionList::Instance().ReleaseAutoNumber(auto_number_);
  auto_number_ = 0;
}

void TABSSession::apply_auto_name() {
  char buf[32];
  std::snprintf(buf, sizeof buf, "_%d", auto_number_);
  session_name_ = Name() + buf;
  // Databases and datasets of the same owner move to this session.
  if (!Owner()) return;
  for (int i = 0; i < Owner()->ComponentCount(); ++i)
    if (auto* bound = dynamic_cast<TABSSessionBound*>(Owner()->Components(i)))
      if (bound->SessionName() != session_name_) bound->SetSessionName(session_name_);
}

void TABSSession::Loaded() {
  TComponent::Loaded();
  if (stored_active_) SetActive(true);
}

void TABSSession::SetActive(bool value) {
  if (Loading()) {
    stored_active_ = value;
    return;
  }
  if (value == active_) return;
  if (value) {
    TABSSessionList& list = TABSSessionList::Instance();
    std::lock_guard guard(list.SessionLock());
    if (OnStartup) OnStartup(*this);
    if (session_name_.empty()) DatabaseError(kMsgSessionNameMissing, this);
    if (!default_) list.Default().SetActive(true);
    active_ = true;
  } else {
    // Every registered database disconnects, newest first; temporary ones are freed.
    for (auto it = databases_.rbegin(); it != databases_.rend();) {
      TABSDatabase* db = *it;
      ++it;
      db->Disconnect();
    }
    for (TABSDatabase* db : std::vector<TABSDatabase*>(databases_))
      if (db->Temporary() && !db->Destroying()) delete db;
    active_ = false;
  }
}

TABSDatabase* TABSSession::FindDatabase(const std::string& database_name) const {
  for (TABSDatabase* db : databases_)
    if (SameName(db->DatabaseName(), database_name)) return db;
  return nullptr;
}

void TABSSession::LockSession() {
  TABSSessionList::Instance().SessionLock().lock();
  ++lock_count_;
}

void TABSSession::UnlockSession() {
  if (lock_count_ == 0) return;
  --lock_count_;
  TABSSessionList::Instance().SessionLock().unlock();
}

TABSDatabase* TABSSession::OpenDatabase(const std::string& database_name, TComponent* owner) {
  TABSSessionLockScope lock(*this);
  SetActive(true);
  TABSDatabase* found = nullptr;
  for (TABSDatabase* db : databases_) {
    if (!SameName(db->DatabaseName(), database_name)) continue;
    if (!found) found = db;
    // Among components sharing their handle, one of the asking dataset's owner wins.
    if (db->HandleShared && owner && db->Owner() == owner) {
      found = db;
      break;
    }
  }
  if (!found) {
    auto* db = new TABSDatabase(this);
    try {
      db->SetDatabaseName(database_name);
      db->SetSessionName(session_name_);
      db->temporary_ = true;
      db->SetKeepConnection(KeepConnections);
      db->SilentMode = true;
      db->Connect();
    } catch (...) {
      delete db;
      throw;
    }
    found = db;
  } else {
    found->Connect();
  }
  ++found->ref_count_;
  return found;
}

void TABSSession::CloseDatabase(TABSDatabase* database) {
  if (!database) return;
  if (database->ref_count_ > 0) --database->ref_count_;
  if (database->ref_count_ > 0 || database->KeepConnection()) return;
  // A database that is closing its datasets finishes disconnecting by itself; a
  // temporary one then waits for the session to deactivate.
  if (database->disconnecting_) return;
  if (database->Temporary() && !database->Destroying()) {
    delete database;
  } else {
    database->Disconnect();
  }
}

void TABSSession::RegisterDatabase(TABSDatabase* database) {
  if (std::find(databases_.begin(), databases_.end(), database) == databases_.end())
    databases_.push_back(database);
}

void TABSSession::UnregisterDatabase(TABSDatabase* database) {
  databases_.erase(std::remove(databases_.begin(), databases_.end(), database), databases_.end());
}

}  // namespace dadoveri
