// TABSBaseSession: the engine side of one connection. It carries the session number, whether
// the session is inside an explicit transaction, and the session's named objects: the last
// autoincrement value it generated or supplied for each field, for example.
//
// The connection, transaction and table-name operations belong to the connection object of
// the dataset layer (TABSLocalSession), which derives from this class; the base holds the
// named-object registry that the table layer needs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dadoveri {

class TABSSessionNamedObject {
 public:
  virtual ~TABSSessionNamedObject() = default;
  int32_t ObjectID = -1;
  std::string Name;
};

// The last autoincrement value a session generated or supplied for one field (ObjectID of
// the field, field name).
class TABSSessionNamedObjectSequenceValue : public TABSSessionNamedObject {
 public:
  int64_t Value = 0;
};

class TABSBaseSession {
 public:
  TABSBaseSession() = default;
  explicit TABSBaseSession(int32_t session_id) : SessionID(session_id) {}
  virtual ~TABSBaseSession() = default;
  TABSBaseSession(const TABSBaseSession&) = delete;
  TABSBaseSession& operator=(const TABSBaseSession&) = delete;

  // Named objects. Adding replaces an object with the same ObjectID or, when the new one
  // has ObjectID -1, with the same name (letter case ignored).
  virtual void AddNamedObject(std::unique_ptr<TABSSessionNamedObject> object);      // 9
  virtual TABSSessionNamedObject* FindNamedObject(std::string_view name);           // 10
  virtual TABSSessionNamedObject* FindNamedObjectByID(int32_t object_id);           // 11

  // The sequence value of a field, through the named objects.
  void SetLastSequenceValue(int32_t field_object_id, const std::string& field_name, int64_t value);
  bool GetLastSequenceValue(int32_t field_object_id, int64_t& value);

  // The session number: 0, 1, 2 … once assigned, -1 until then.
  int32_t SessionID = -1;
  bool InTransaction = false;

 private:
  std::vector<std::unique_ptr<TABSSessionNamedObject>> objects_;
};

}  // namespace dadoveri
