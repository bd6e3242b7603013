#include "engine/dataset/component.h"

#include <algorithm>

#include "engine/table/meta_object_def.h"

namespace dadoveri {

TComponent::TComponent(TComponent* owner) {
  if (owner) owner->insert(this);
}

TComponent::~TComponent() {
  destroying_ = true;
  // Those that asked to hear of it drop their references first.
  while (!free_notifies_.empty()) {
    TComponent* other = free_notifies_.back();
    free_notifies_.pop_back();
    auto& theirs = other->free_notifies_;
    theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
    other->Notification(this, TOperation::opRemove);
  }
  DestroyComponents();
  if (TComponent* owner = owner_) {
    owner->remove(this);
    owner->Notification(this, TOperation::opRemove);
  }
}

void TComponent::DestroyComponents() {
  destroying_ = true;
  while (!components_.empty()) {
    TComponent* child = components_.back();
    child->destroying_ = true;
    delete child;  // the child leaves the list in its own destructor
  }
}

TComponent* TComponent::FindComponent(const std::string& name) const {
  if (name.empty()) return nullptr;
  for (TComponent* c : components_)
    if (SameName(c->Name(), name)) return c;
  return nullptr;
}

void TComponent::FreeNotification(TComponent* other) {
  if (!other || other == this) return;
  if (std::find(free_notifies_.begin(), free_notifies_.end(), other) == free_notifies_.end())
    free_notifies_.push_back(other);
  if (std::find(other->free_notifies_.begin(), other->free_notifies_.end(), this) == other->free_notifies_.end())
    other->free_notifies_.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* other) {
  if (!other) return;
  free_notifies_.erase(std::remove(free_notifies_.begin(), free_notifies_.end(), other), free_notifies_.end());
  auto& theirs = other->free_notifies_;
  theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
}

void TComponent::BeginLoading() {
  ++loading_;
  for (TComponent* c : components_) c->BeginLoading();
}

void TComponent::EndLoading() {
  if (loading_ == 0) return;
  // The owned components first, each once; then this one.
  const std::vector<TComponent*> children = components_;
  for (TComponent* c : children) c->EndLoading();
  if (--loading_ == 0) Loaded();
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::insert(TComponent* component) {
  components_.push_back(component);
  component->owner_ = this;
  if (loading_ > 0) component->BeginLoading();
  Notification(component, TOperation::opInsert);
}

void TComponent::remove(TComponent* component) {
  components_.erase(std::remove(components_.begin(), components_.end(), component), components_.end());
  component->owner_ = nullptr;
}

}  // namespace dadoveri
