// SPDX-License-Identifier: Apache-2.0
// Hidden message windows: the way other threads hand work to the thread that
// owns an object.
//
// A MessageWindow belongs to the thread that created it. Any thread may post
// a message (number, wParam, lParam) to it by its handle; the message waits in
// the owning thread's queue, and its handler runs on the owning thread when
// that thread pumps. Every thread has one queue for all its windows, with an
// eventfd that becomes readable when something is posted, so a host program's
// event loop can poll the fd and pump.
//
// Ownership of payloads: a message whose handler runs hands its wParam and
// lParam to the handler. A message that is never dispatched (its window was
// destroyed first, or the window has no handler for it) is given to the
// disposer passed to PostMessage, if any, so that payloads never leak.
//
// Message numbers: RegisterMessageName gives every name one number for the
// whole process (names compare case-insensitively), from 0xC000 upwards. The
// library holding this code is shared by the host program and the service
// object library, so both see the same numbers and the same queues.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace vexokrt::platform {

using MessageId = uint32_t;
inline constexpr MessageId kFirstRegisteredMessage = 0xC000;
inline constexpr MessageId kLastRegisteredMessage = 0xFFFF;

// The process-wide number of |name|; 0 for an empty name or when the range is
// used up. Any thread.
MessageId RegisterMessageName(std::string_view name);

// Identifies a window for posting; 0 is no window. Handles are never reused.
using WindowHandle = uint64_t;

// Runs on the owning thread; takes ownership of the payload.
using MessageHandler = std::function<intptr_t(uintptr_t wparam, intptr_t lparam)>;
// Frees the payload of a message that was never handed to a handler. Runs on
// the thread that finds the message undeliverable.
using PayloadDisposer = std::function<void(uintptr_t wparam, intptr_t lparam)>;

struct WindowHandlerTable;  // internal

class MessageWindow {
 public:
  // Creates a window owned by the calling thread. Null when it cannot be
  // created (no eventfd, or a failure requested by FailNextCreations).
  static std::unique_ptr<MessageWindow> Create(std::string name);

  // Destroys the window: later posts fail, and messages still queued for it
  // are disposed. Call it on the owning thread.
  ~MessageWindow();
  MessageWindow(const MessageWindow&) = delete;
  MessageWindow& operator=(const MessageWindow&) = delete;

  WindowHandle handle() const { return handle_; }
  const std::string& name() const { return name_; }

  // Installs (or with an empty function removes) the handler of |message|.
  // Any thread; takes effect for messages dispatched afterwards.
  void SetHandler(MessageId message, MessageHandler handler);

  // Test seam: the next |count| calls of Create fail.
  static void FailNextCreations(int count);

 private:
  MessageWindow(WindowHandle handle, std::string name, std::shared_ptr<WindowHandlerTable> handlers);

  WindowHandle handle_;
  std::string name_;
  std::shared_ptr<WindowHandlerTable> handlers_;
};

enum class PostResult {
  kPosted,
  kNoWindow,  // no live window has this handle; the payload is still the caller's
};

// Queues a message for |window| from any thread. On kNoWindow nothing was
// queued and the disposer is not called: the caller keeps its payload.
PostResult PostMessage(WindowHandle window, MessageId message, uintptr_t wparam, intptr_t lparam,
                       PayloadDisposer disposer = {});

// The eventfd of the calling thread's queue: readable while messages may be
// waiting. -1 when it could not be created. The fd stays owned by the queue.
int ThreadMessageFd();

// Dispatches the calling thread's messages, including those posted by the
// handlers themselves, until the queue is empty. Returns how many were taken
// out (dispatched or disposed).
int PumpMessages();

// Waits up to |timeout_ms| (-1: without limit) for a message on the calling
// thread's queue, then pumps until empty. Returns the number taken out; 0
// means the time ran out with nothing to do.
int PumpMessagesFor(int timeout_ms);

}  // namespace vexokrt::platform
