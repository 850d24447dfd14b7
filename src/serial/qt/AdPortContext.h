#pragma once
// TApdPortContext: what the port components of one program share. The
// program makes one, after its application object, and hands it to every
// port it creates; a port made without one keeps one of its own.

#include <functional>
#include <memory>

#include "serial/AwuserPortList.h"
#include "serial/qt/Adport.h"
#include "serialdevice/AwPortPath.h"

namespace kestrel {

class TApdComWindow;
class TApdWaitWaker;

// Thread contract: made and destroyed on the window thread; its members as
// they say. Nothing in it is replaced after construction.
class TApdPortContext {
 public:
  // The program's: it keeps a waker of its own, and shows what its ports
  // raise where nobody can catch it through `showException`.
  explicit TApdPortContext(TShowExceptionProc showException);
  // One that wakes waits through `waker` (a port's own when it is given none).
  explicit TApdPortContext(TApdWaitWaker& waker);
  ~TApdPortContext();
  TApdPortContext(const TApdPortContext&) = delete;
  TApdPortContext& operator=(const TApdPortContext&) = delete;

  // The open dispatchers, by the handle their trigger messages carry.
  TApdPortList Ports;
  // Where port numbers lead and which device schemes the program offers:
  // every port, trial open and port dialog of the program resolves and
  // opens its devices here.
  TPortMap PortMap;

  // Runs `call` on the window thread and waits for it, with the same limit
  // as the hidden windows; without an application object, at once. Any thread.
  void SynchronizeOnWindowThread(const std::function<void()>& call) const;

  // Wakes the waits of the window thread on port reports; the program's
  // clock takes the same one.
  TApdWaitWaker& Waker() const { return Waker_; }

  // Shows an exception a port raised where nobody could catch it; without a
  // display of its own, through the process-wide one. Window thread.
  void ShowException(const std::exception& e) const;

 private:
  std::unique_ptr<TApdWaitWaker> OwnWaker_;
  TApdWaitWaker& Waker_;
  const TShowExceptionProc ShowException_;
  // Runs the synchronised dispatcher handlers; made with the context when an
  // application object exists.
  std::unique_ptr<TApdComWindow> SynchronizeWindow_;

  void CreateSynchronizeWindow();
};

}  // namespace kestrel
