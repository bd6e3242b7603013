#include "engine/table/session.h"

#include "engine/table/meta_object_def.h"

namespace dadoveri {

void TABSBaseSession::AddNamedObject(std::unique_ptr<TABSSessionNamedObject> object) {
  for (auto& existing : objects_) {
    const bool same = object->ObjectID != -1 ? existing->ObjectID == object->ObjectID
                                             : SameName(existing->Name, object->Name);
    if (same) {
      existing = std::move(object);
      return;
    }
  }
  objects_.push_back(std::move(object));
}

TABSSessionNamedObject* TABSBaseSession::FindNamedObject(std::string_view name) {
  for (auto& object : objects_)
    if (SameName(object->Name, name)) return object.get();
  return nullptr;
}

TABSSessionNamedObject* TABSBaseSession::FindNamedObjectByID(int32_t object_id) {
  for (auto& object : objects_)
    if (object->ObjectID == object_id) return object.get();
  return nullptr;
}

void TABSBaseSession::SetLastSequenceValue(int32_t field_object_id, const std::string& field_name, int64_t value) {
  if (auto* found = dynamic_cast<TABSSessionNamedObjectSequenceValue*>(FindNamedObjectByID(field_object_id))) {
    found->Value = value;
    return;
  }
  auto object = std::make_unique<TABSSessionNamedObjectSequenceValue>();
  object->ObjectID = field_object_id;
  object->Name = field_name;
  object->Value = value;
  AddNamedObject(std::move(object));
}

bool TABSBaseSession::GetLastSequenceValue(int32_t field_object_id, int64_t& value) {
  auto* found = dynamic_cast<TABSSessionNamedObjectSequenceValue*>(FindNamedObjectByID(field_object_id));
  if (!found) return false;
  value = found->Value;
  return true;
}

}  // namespace dadoveri
