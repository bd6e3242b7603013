// TABSSession groups database components under a name; TABSSessionList is the process's
// list of sessions, made at first use with the default session "Default", together with
// the process-wide session lock under which databases are looked up and connected.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/dataset/component.h"

namespace dadoveri {

class TABSDatabase;

// A component that names the session it works in (database components and datasets):
// an automatically named session moves the components of its owner to its name.
class TABSSessionBound {
 public:
  virtual ~TABSSessionBound() = default;
  virtual const std::string& SessionName() const = 0;
  virtual void SetSessionName(const std::string& name) = 0;
};

class TABSSession : public TComponent {
 public:
  explicit TABSSession(TComponent* owner = nullptr);
  ~TABSSession() override;

  bool Active() const { return active_; }
  void SetActive(bool value);
  bool AutoSessionName() const { return auto_session_name_; }
  void SetAutoSessionName(bool value);
  bool KeepConnections = true;
  const std::string& SessionName() const { return session_name_; }
  void SetSessionName(const std::string& name);
  std::function<void(TABSSession&)> OnStartup;
  void SetName(const std::string& name) override;

  bool IsDefault() const { return default_; }

  // Registered database components, oldest first.
  const std::vector<TABSDatabase*>& Databases() const { return databases_; }
  // The registered component of that DatabaseName (letter case ignored); null if none.
  TABSDatabase* FindDatabase(const std::string& database_name) const;
  // Under the session lock: the registered component of that name (among HandleShared
  // ones preferring one of `owner`), else a temporary component made for it; connected,
  // with its reference count raised by one.
  TABSDatabase* OpenDatabase(const std::string& database_name, TComponent* owner = nullptr);
  // Lowers the reference count; at 0 and without KeepConnection the component is
  // disconnected, or freed when it is a temporary one.
  void CloseDatabase(TABSDatabase* database);

  // The process-wide session lock, counted per session.
  void LockSession();
  void UnlockSession();

  // Called by database components.
  void RegisterDatabase(TABSDatabase* database);
  void UnregisterDatabase(TABSDatabase* database);
  void DatabaseConnected(TABSDatabase*) {}
  void DatabaseDisconnected(TABSDatabase*) {}

 protected:
  void Loaded() override;

 private:
  friend class TABSSessionList;
  explicit TABSSession(bool is_default);
  void check_inactive() const;
  void check_owner_sessions(bool enabling) const;
  void apply_auto_name();
  void release_auto_number();

  bool active_ = false;
  bool auto_session_name_ = false;
  bool default_ = false;
  std::string session_name_;
  std::vector<TABSDatabase*> databases_;
  int32_t lock_count_ = 0;
  int32_t auto_number_ = 0;  // 0 when none
  bool stored_active_ = false;
};

// Holds a session's lock for a scope.
class TABSSessionLockScope {
 public:
  explicit TABSSessionLockScope(TABSSession& s) : s_(s) { s_.LockSession(); }
  ~TABSSessionLockScope() { s_.UnlockSession(); }
  TABSSessionLockScope(const TABSSessionLockScope&) = delete;
  TABSSessionLockScope& operator=(const TABSSessionLockScope&) = delete;

 private:
  TABSSession& s_;
};

class TABSSessionList {
 public:
  static TABSSessionList& Instance();

  // The default session ("Default").
  TABSSession& Default() { return *default_; }
  // An empty name gives the default session; else the session of that name (letter case
  // ignored); "Invalid session name '%s'" (20002) when there is none.
  TABSSession& FindSession(const std::string& name);
  // Null instead of the error.
  TABSSession* FindSessionOrNull(const std::string& name);
  std::vector<TABSSession*> Sessions();
  int32_t Count();

  // The process-wide session lock: recursive.
  std::recursive_mutex& SessionLock() { return session_lock_; }

  // Automatic session numbers: the lowest free one plus 1, and back.
  int32_t TakeAutoNumber();
  void ReleaseAutoNumber(int32_t number);

  void Add(TABSSession* session);
  void Remove(TABSSession* session);

 private:
  TABSSessionList();
  ~TABSSessionList();

  std::mutex list_lock_;
  std::recursive_mutex session_lock_;
  std::vector<TABSSession*> sessions_;
  std::vector<bool> auto_numbers_;
  std::unique_ptr<TABSSession> default_;
};

// Shorthands.
inline TABSSession& Session() { return TABSSessionList::Instance().Default(); }
inline TABSSessionList& Sessions() { return TABSSessionList::Instance(); }

}  // namespace dadoveri
