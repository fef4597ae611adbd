// SPDX-License-Identifier: Apache-2.0
#include "platform/message_window.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <thread>
#include <vector>

namespace vexokrt::platform {
namespace {

bool FdReadable(int fd) {
  pollfd pfd{fd, POLLIN, 0};
  return ::poll(&pfd, 1, 0) == 1;
}

TEST(RegisteredMessages, SameNameSameNumberEverywhereInTheProcess) {
  const MessageId a = RegisterMessageName("Test.Messages.Alpha");
  const MessageId b = RegisterMessageName("Test.Messages.Beta");
  EXPECT_GE(a, kFirstRegisteredMessage);
  EXPECT_GE(b, kFirstRegisteredMessage);
  EXPECT_NE(a, b);
  EXPECT_EQ(RegisterMessageName("test.messages.ALPHA"), a);
  MessageId from_thread = 0;
  std::thread([&] { from_thread = RegisterMessageName("Test.Messages.Alpha"); }).join();
  EXPECT_EQ(from_thread, a);
  EXPECT_EQ(RegisterMessageName(""), 0u);
}

TEST(MessageWindow, HandlersRunOnlyOnTheCreatingThreadWhenItPumps) {
  auto window = MessageWindow::Create("test");
  ASSERT_NE(window, nullptr);
  const MessageId message = RegisterMessageName("Test.Window.Hello");
  std::vector<std::pair<uintptr_t, intptr_t>> seen;
  std::thread::id handler_thread;
  window->SetHandler(message, [&](uintptr_t w, intptr_t l) {
    handler_thread = std::this_thread::get_id();
    seen.emplace_back(w, l);
    return 0;
  });

  std::thread poster([&] {
    EXPECT_EQ(PostMessage(window->handle(), message, 1, -1), PostResult::kPosted);
    EXPECT_EQ(PostMessage(window->handle(), message, 2, -2), PostResult::kPosted);
    // Pumping on another thread touches only that thread's own queue.
    EXPECT_EQ(PumpMessages(), 0);
  });
  poster.join();
  EXPECT_TRUE(seen.empty()) << "nothing runs before the owner pumps";
  EXPECT_TRUE(FdReadable(ThreadMessageFd()));

  EXPECT_EQ(PumpMessages(), 2);
  EXPECT_EQ(handler_thread, std::this_thread::get_id());
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], (std::pair<uintptr_t, intptr_t>{1, -1})) << "in the order posted";
  EXPECT_EQ(seen[1], (std::pair<uintptr_t, intptr_t>{2, -2}));
  EXPECT_FALSE(FdReadable(ThreadMessageFd())) << "pumping resets the fd";
}

TEST(MessageWindow, PumpRunsUntilEmptyIncludingMessagesPostedByHandlers) {
  auto window = MessageWindow::Create("test");
  ASSERT_NE(window, nullptr);
  const MessageId message = RegisterMessageName("Test.Window.Chain");
  int handled = 0;
  window->SetHandler(message, [&](uintptr_t w, intptr_t) {
    ++handled;
    if (w > 0) PostMessage(window->handle(), message, w - 1, 0);
    return 0;
  });
  PostMessage(window->handle(), message, 4, 0);
  EXPECT_EQ(PumpMessages(), 5);
  EXPECT_EQ(handled, 5);
  EXPECT_EQ(PumpMessages(), 0);
}

TEST(MessageWindow, PumpWithTimeOutWaitsForAPostFromAnotherThread) {
  auto window = MessageWindow::Create("test");
  ASSERT_NE(window, nullptr);
  const MessageId message = RegisterMessageName("Test.Window.Wake");
  std::atomic<int> handled{0};
  window->SetHandler(message, [&](uintptr_t, intptr_t) { return ++handled, 0; });

  EXPECT_EQ(PumpMessagesFor(0), 0) << "nothing queued: time-out at once";
  EXPECT_EQ(PumpMessagesFor(10), 0);

  std::thread poster([&] { PostMessage(window->handle(), message, 0, 0); });
  EXPECT_EQ(PumpMessagesFor(-1), 1) << "without limit, returns once the post arrives";
  poster.join();
  EXPECT_EQ(handled.load(), 1);
}

TEST(MessageWindow, UndeliveredPayloadsGoToTheDisposer) {
  const MessageId handled_message = RegisterMessageName("Test.Window.Handled");
  const MessageId unhandled_message = RegisterMessageName("Test.Window.Unhandled");
  int disposed = 0;
  int handled = 0;
  auto dispose = [&](uintptr_t w, intptr_t) {
    delete reinterpret_cast<std::string*>(w);
    ++disposed;
  };
  auto window = MessageWindow::Create("test");
  ASSERT_NE(window, nullptr);
  window->SetHandler(handled_message, [&](uintptr_t w, intptr_t) {
    delete reinterpret_cast<std::string*>(w);
    return ++handled, 0;
  });

  // No handler for the message: disposed at the pump.
  PostMessage(window->handle(), unhandled_message, reinterpret_cast<uintptr_t>(new std::string("a")), 0, dispose);
  EXPECT_EQ(PumpMessages(), 1);
  EXPECT_EQ(disposed, 1);

  // Queued, then the window is destroyed: disposed at once, never handled.
  PostMessage(window->handle(), handled_message, reinterpret_cast<uintptr_t>(new std::string("b")), 0, dispose);
  const WindowHandle handle = window->handle();
  window.reset();
  EXPECT_EQ(disposed, 2);
  EXPECT_EQ(PumpMessages(), 0);
  EXPECT_EQ(handled, 0);

  // Posting to the destroyed window fails and leaves the payload with the caller.
  auto* payload = new std::string("c");
  EXPECT_EQ(PostMessage(handle, handled_message, reinterpret_cast<uintptr_t>(payload), 0, dispose),
            PostResult::kNoWindow);
  EXPECT_EQ(disposed, 2);
  delete payload;
  EXPECT_EQ(PostMessage(0, handled_message, 0, 0), PostResult::kNoWindow);
}

TEST(MessageWindow, WindowOfAnEndedThreadStillDisposesWhatWasPostedToIt) {
  const MessageId message = RegisterMessageName("Test.Window.Orphan");
  std::unique_ptr<MessageWindow> window;
  std::thread([&] { window = MessageWindow::Create("orphan"); }).join();
  ASSERT_NE(window, nullptr);
  int disposed = 0;
  window->SetHandler(message, [](uintptr_t, intptr_t) { return 0; });
  EXPECT_EQ(PostMessage(window->handle(), message, 0, 0, [&](uintptr_t, intptr_t) { ++disposed; }),
            PostResult::kPosted);
  EXPECT_EQ(PumpMessages(), 0) << "not this thread's window";
  window.reset();
  EXPECT_EQ(disposed, 1);
}

TEST(MessageWindow, CreationCanBeMadeToFail) {
  MessageWindow::FailNextCreations(1);
  EXPECT_EQ(MessageWindow::Create("fails"), nullptr);
  auto window = MessageWindow::Create("works");
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->name(), "works");
  EXPECT_NE(window->handle(), 0u);
}

TEST(MessageWindow, HandlesAreNotReused) {
  WindowHandle first;
  {
    auto window = MessageWindow::Create("a");
    ASSERT_NE(window, nullptr);
    first = window->handle();
  }
  auto second = MessageWindow::Create("b");
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second->handle(), first);
  EXPECT_EQ(PostMessage(first, RegisterMessageName("Test.Window.Old"), 0, 0), PostResult::kNoWindow);
}

}  // namespace
}  // namespace vexokrt::platform
