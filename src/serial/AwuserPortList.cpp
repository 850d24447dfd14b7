#include "serial/AwuserPortList.h"

#include <algorithm>

namespace kestrel {

int TApdPortList::Add(TApdBaseDispatcher* dispatcher) {
  std::lock_guard<std::recursive_mutex> lock(Lock_);
  auto slot = std::find(List_.begin(), List_.end(), nullptr);
  if (slot != List_.end()) {
    *slot = dispatcher;
    return static_cast<int>(slot - List_.begin());
  }
  List_.push_back(dispatcher);
  return static_cast<int>(List_.size()) - 1;
}

void TApdPortList::Remove(int handle) {
  std::lock_guard<std::recursive_mutex> lock(Lock_);
  if (handle >= 0 && handle < static_cast<int>(List_.size())) List_[handle] = nullptr;
  while (!List_.empty() && List_.back() == nullptr) List_.pop_back();
}

TApdBaseDispatcher* TApdPortList::Entry(int handle) {
  std::lock_guard<std::recursive_mutex> lock(Lock_);
  if (handle < 0 || handle >= static_cast<int>(List_.size())) return nullptr;
  return List_[handle];
}

}  // namespace kestrel
