// The questions the database components put to the user, behind a small interface that
// the application installs (password dialog, message boxes, wait window). With nothing
// installed nobody is asked: a password request is declined, the repair question answered
// No, notices are dropped and no wait window shows.
#pragma once

#include <memory>
#include <string>

namespace dadoveri {

// A progress window shown while a long operation runs.
class TABSWaitWindow {
 public:
  virtual ~TABSWaitWindow() = default;
  // 0 … 100.
  virtual void SetProgress(int32_t percent) = 0;
  // Lets the user interface handle pending events.
  virtual void ProcessMessages() {}
  // Whether the user asked to stop.
  virtual bool Aborted() const = 0;
  // Closes the window.
  virtual void Finish() = 0;
};

class TABSUserPrompts {
 public:
  virtual ~TABSUserPrompts() = default;
  // The password dialog for the database component `component_name`; true with the
  // entered text in `password` when closed with OK.
  virtual bool AskPassword(const std::string& component_name, std::string& password) = 0;
  // A Yes/No question; true for Yes.
  virtual bool AskYesNo(const std::string& question) = 0;
  // An information message with an OK button.
  virtual void ShowInformation(const std::string& text) = 0;
  // A warning message with an OK button.
  virtual void ShowWarning(const std::string& text) = 0;
  // Starts the wait window with a message; null when none can be shown.
  virtual std::unique_ptr<TABSWaitWindow> StartWait(const std::string& message) = 0;
};

// The installed prompts (null: nobody is asked). The caller keeps the object alive while
// it is installed.
void InstallUserPrompts(TABSUserPrompts* prompts);
TABSUserPrompts* InstalledUserPrompts();

}  // namespace dadoveri
