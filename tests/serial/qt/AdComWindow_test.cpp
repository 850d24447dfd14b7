// The hidden window's hand-off from a dispatcher thread to the window thread.

#include "serial/qt/AdComWindow.h"

#include <gtest/gtest.h>

#include <QThread>
#include <atomic>
#include <thread>
#include <vector>

#include "PortTestSupport.h"

namespace kestrel {
namespace {

using test::App;
using test::PumpUntil;

class ComWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { App(); }

  std::vector<uint32_t> handled;
  std::atomic<int> handledCount{0};
  QThread* handlerThread = nullptr;

  TApdComWindow::TWndProc Recorder() {
    return [this](uint32_t Msg, uint32_t, uint32_t) {
      handlerThread = QThread::currentThread();
      handled.push_back(Msg);
      ++handledCount;
    };
  }
};

TEST_F(ComWindowTest, SendRunsOnTheWindowThreadAndWaitsForTheHandler) {
  std::atomic<bool> handlerDone{false};
  bool doneWhenSendReturned = false;
  TApdComWindow window([&](uint32_t Msg, uint32_t wParam, uint32_t lParam) {
    handlerThread = QThread::currentThread();
    handled.push_back(Msg + wParam + lParam);
    handlerDone = true;
  });

  std::atomic<bool> returned{false};
  bool result = false;
  std::thread sender([&] {
    result = window.Send(0x7E01, 5, 0x10000);
    doneWhenSendReturned = handlerDone.load();
    returned = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return returned.load(); }));
  sender.join();

  EXPECT_TRUE(result);
  EXPECT_TRUE(doneWhenSendReturned);
  EXPECT_EQ(handlerThread, QThread::currentThread());
  EXPECT_EQ(handled, (std::vector<uint32_t>{0x7E01 + 5 + 0x10000}));
}

TEST_F(ComWindowTest, AMessageNotStartedInTimeIsDroppedAndTheSenderGoesOn) {
  TApdComWindow window(Recorder());
  bool result = true;
  // The window thread is busy (joining) while the sender's limit runs out.
  std::thread sender([&] { result = window.Send(0x7E01, 1, 0, 50); });
  sender.join();
  EXPECT_FALSE(result);

  // Messages are handled in order: once one posted later has run, the
  // dropped one has had its chance.
  window.Post(0x7E02, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return handledCount.load() == 1; }));
  EXPECT_EQ(handled, (std::vector<uint32_t>{0x7E02})) << "a timed-out message must not run later";
}

TEST_F(ComWindowTest, ASlowHandlerDoesNotHoldTheSenderPastTheLimit) {
  std::atomic<bool> senderBack{false};
  bool sawSenderBackInsideHandler = false;
  TApdComWindow window([&](uint32_t, uint32_t, uint32_t) {
    // Stay in the handler until the sender has given up on us.
    test::WaitUntilPlain([&] { return senderBack.load(); });
    sawSenderBackInsideHandler = senderBack.load();
  });
  bool result = true;
  std::thread sender([&] {
    result = window.Send(0x7E03, 8, 0, 1000);  // long enough to be picked up
    senderBack = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return senderBack.load(); }));
  sender.join();
  EXPECT_FALSE(result);
  EXPECT_TRUE(sawSenderBackInsideHandler);
}

TEST_F(ComWindowTest, ShutdownReleasesASenderSoTheWindowThreadCanWaitForIt) {
  // The window thread waits for the sending thread (as a close waits for the
  // dispatch thread); without Shutdown this would take the full 3000 ms.
  TApdComWindow window(Recorder());
  std::atomic<bool> sending{false};
  bool result = true;
  std::thread sender([&] {
    sending = true;
    result = window.Send(0x7E01, 1, 0);
  });
  test::WaitUntilPlain([&] { return sending.load(); });
  window.Shutdown();
  sender.join();
  EXPECT_FALSE(result);

  // Later sends are turned away at once; posted messages still run.
  std::thread late([&] { result = window.Send(0x7E02, 1, 0); });
  late.join();
  EXPECT_FALSE(result);
  window.Post(0x7E0A, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return handledCount.load() == 1; }));
  EXPECT_EQ(handled, (std::vector<uint32_t>{0x7E0A}));
}

TEST_F(ComWindowTest, DestroyingTheWindowReleasesPendingSenders) {
  auto window = std::make_unique<TApdComWindow>(Recorder());
  // The senders hold the window itself, not the owner this thread resets.
  TApdComWindow* const target = window.get();
  std::atomic<int> started{0};
  std::vector<char> results(3, 1);  // one byte each: the senders write concurrently
  std::vector<std::thread> senders;
  for (int i = 0; i < 3; ++i) {
    senders.emplace_back([&, i] {
      ++started;
      results[i] = target->Send(0x7E01, static_cast<uint32_t>(i), 0);
    });
  }
  test::WaitUntilPlain([&] { return started.load() == 3; });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  window.reset();
  for (auto& t : senders) t.join();
  EXPECT_EQ(results, (std::vector<char>{0, 0, 0}));
  QCoreApplication::processEvents();
  EXPECT_EQ(handledCount.load(), 0);
}

TEST_F(ComWindowTest, MessagesFromOneSenderArriveInOrder) {
  TApdComWindow window(Recorder());
  std::atomic<bool> done{false};
  std::thread sender([&] {
    for (uint32_t m = 1; m <= 5; ++m) window.Send(m, 0, 0);
    done = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return done.load(); }));
  sender.join();
  window.Post(6, 0, 0);
  window.Post(7, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return handledCount.load() == 7; }));
  EXPECT_EQ(handled, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(ComWindowTest, SendOnTheWindowThreadRunsAtOnce) {
  TApdComWindow window(Recorder());
  EXPECT_TRUE(window.Send(0x7E04, 0, 0));
  EXPECT_EQ(handledCount.load(), 1);
}

}  // namespace
}  // namespace kestrel
