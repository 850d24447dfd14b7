#pragma once
// The port component's hidden window: trigger messages sent by a dispatcher
// thread are handled here, on the window thread, while the sender waits.

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>

namespace kestrel {

// Window class name of the hidden window (its QObject name).
inline constexpr char kComWindowClass[] = "awComWindow";

// Thread contract: created, used and destroyed on the window thread; Send and
// Post may be called from any thread while the window exists.
class TApdComWindow : public QObject {
  Q_OBJECT

 public:
  using TWndProc = std::function<void(uint32_t Msg, uint32_t wParam, uint32_t lParam)>;

  // Longest time a sender waits for the window thread.
  static constexpr int kSendTimeoutMs = 3000;

  explicit TApdComWindow(TWndProc proc, QObject* parent = nullptr);
  ~TApdComWindow() override;

  // Runs the window procedure with this message on the window thread and waits
  // until it has returned, at most timeoutMs. Called on the window thread itself
  // the procedure runs at once. True when the message was handled in time; after
  // a time-out a message that has not started yet is dropped.
  bool Send(uint32_t Msg, uint32_t wParam, uint32_t lParam, int timeoutMs = kSendTimeoutMs);
  // The same hand-off for any call. With finishStarted, a call that has
  // started when the limit runs out is waited for to the end (for calls that
  // refer to the caller's stack).
  bool SendCall(std::function<void()> call, int timeoutMs = kSendTimeoutMs,
                bool finishStarted = false);

  // Queues the message for the window thread and returns at once.
  void Post(uint32_t Msg, uint32_t wParam, uint32_t lParam);

  // Releases every sender whose message has not started (those messages are
  // dropped) and turns later sends away unhandled. A message being handled
  // finishes normally; posted messages still run. Window thread only.
  void Shutdown();
  bool IsShutdown() const;

 private:
  struct TSync;
  struct TPending;

  // Runs the queued messages, oldest first (window thread).
  void Dispatch();

  TWndProc proc_;
  std::shared_ptr<TSync> sync_;
};

}  // namespace kestrel
