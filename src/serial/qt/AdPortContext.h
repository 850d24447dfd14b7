#pragma once
// TApdPortContext: what the port components of one program share. The
// program makes one, after its application object, and hands it to every
// port it creates; a port made without one keeps one of its own.

#include <functional>
#include <memory>

#include "serial/AwuserPortList.h"

namespace kestrel {

class TApdComWindow;

// Thread contract: made and destroyed on the window thread; its members as
// they say. Nothing in it is replaced after construction.
class TApdPortContext {
 public:
  TApdPortContext();
  ~TApdPortContext();
  TApdPortContext(const TApdPortContext&) = delete;
  TApdPortContext& operator=(const TApdPortContext&) = delete;

  // The open dispatchers, by the handle their trigger messages carry.
  TApdPortList Ports;

  // Runs `call` on the window thread and waits for it, with the same limit
  // as the hidden windows; without an application object, at once. Any thread.
  void SynchronizeOnWindowThread(const std::function<void()>& call) const;

 private:
  // Runs the synchronised dispatcher handlers; made with the context when an
  // application object exists.
  std::unique_ptr<TApdComWindow> SynchronizeWindow_;
};

}  // namespace kestrel
