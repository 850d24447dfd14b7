#pragma once
// TApdPortList: the open dispatchers of a program by handle. A dispatcher
// takes the lowest free handle when it is made and gives it back when it
// shuts down; the port component finds the dispatcher a trigger message
// names through it. The program makes one and hands it to its ports.

#include <mutex>
#include <vector>

namespace kestrel {

class TApdBaseDispatcher;

// Thread contract: any thread; the list has its own (recursive) lock, which
// Lock/Unlock also take so that an entry looked up stays listed while used.
class TApdPortList {
 public:
  TApdPortList() = default;
  TApdPortList(const TApdPortList&) = delete;
  TApdPortList& operator=(const TApdPortList&) = delete;

  // Lists `dispatcher` under the lowest free handle, which it returns.
  int Add(TApdBaseDispatcher* dispatcher);
  // Frees `handle`.
  void Remove(int handle);
  // The dispatcher with that handle, or nullptr.
  TApdBaseDispatcher* Entry(int handle);

  void Lock() { Lock_.lock(); }
  void Unlock() { Lock_.unlock(); }

 private:
  std::recursive_mutex Lock_;
  std::vector<TApdBaseDispatcher*> List_;
};

}  // namespace kestrel
