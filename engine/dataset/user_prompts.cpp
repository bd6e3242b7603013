#include "engine/dataset/user_prompts.h"

#include <atomic>

namespace dadoveri {

namespace {
std::atomic<TABSUserPrompts*> installed{nullptr};
}

void InstallUserPrompts(TABSUserPrompts* prompts) { installed.store(prompts); }
TABSUserPrompts* InstalledUserPrompts() { return installed.load(); }

}  // namespace dadoveri
