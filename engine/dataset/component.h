// TComponent: a named object with an owner. An owner frees the components it owns (newest
// first) when it goes; a component that goes first leaves its owner's list. Components may
// ask to hear when another one is freed (FreeNotification), so that a reference to it is
// dropped in time. BeginLoading/EndLoading bracket the setting of properties that a stored
// form would carry: while loading, a component only stores what it would otherwise act
// on, and EndLoading lets it act (Loaded) once everything is in place.
#pragma once

#include <string>
#include <vector>

namespace dadoveri {

enum class TOperation { opInsert, opRemove };

class TComponent {
 public:
  explicit TComponent(TComponent* owner = nullptr);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  const std::string& Name() const { return name_; }
  virtual void SetName(const std::string& name) { name_ = name; }
  TComponent* Owner() const { return owner_; }

  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const { return components_.at(static_cast<size_t>(index)); }
  // The owned component of that name, letter case ignored; null when there is none.
  TComponent* FindComponent(const std::string& name) const;

  // `other` is told (Notification with opRemove) when this component is freed, and this
  // one when `other` is.
  void FreeNotification(TComponent* other);
  void RemoveFreeNotification(TComponent* other);

  // The loading bracket: owned components are bracketed with their owner.
  void BeginLoading();
  void EndLoading();
  bool Loading() const { return loading_ > 0; }
  // Set while the destructor chain runs, so that a component can tell it is going.
  bool Destroying() const { return destroying_; }
  // Design time does not exist in this engine; kept so that behaviour that differs at
  // design time reads as it does elsewhere.
  bool Designing() const { return false; }

 protected:
  // A component this one refers to (or owns) is being freed or was inserted.
  virtual void Notification(TComponent* component, TOperation operation);
  // Called once the loading bracket closes.
  virtual void Loaded() {}
  // Marks the component as going: call first in the destructor of a derived class whose
  // teardown consults Destroying().
  void Destroy() { destroying_ = true; }
  // Frees the owned components now: a derived class whose components talk back to it as
  // they go calls this first in its destructor, while it is still whole.
  void DestroyComponents();

 private:
  void insert(TComponent* component);
  void remove(TComponent* component);

  std::string name_;
  TComponent* owner_ = nullptr;
  std::vector<TComponent*> components_;
  std::vector<TComponent*> free_notifies_;
  int loading_ = 0;
  bool destroying_ = false;
};

}  // namespace dadoveri
