// SPDX-License-Identifier: Apache-2.0
#include "platform/message_window.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/thread_annotations.h"

namespace vexokrt::platform {

struct WindowHandlerTable {
  Mutex mutex;
  std::map<MessageId, MessageHandler> handlers VEX_GUARDED_BY(mutex);

  MessageHandler Find(MessageId message) {
    MutexLock guard(mutex);
    const auto it = handlers.find(message);
    return it == handlers.end() ? MessageHandler() : it->second;
  }
};

namespace {

struct PostedMessage {
  WindowHandle window = 0;
  MessageId message = 0;
  uintptr_t wparam = 0;
  intptr_t lparam = 0;
  PayloadDisposer disposer;

  void Dispose() {
    if (disposer) disposer(wparam, lparam);
  }
};

// The message queue of one thread. It outlives the thread while any of the
// thread's windows still exist; whatever is left at the end is disposed.
class ThreadQueue {
 public:
  ThreadQueue() : event_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~ThreadQueue() {
    for (auto& item : items_) item.Dispose();
    if (event_fd_ >= 0) ::close(event_fd_);
  }
  ThreadQueue(const ThreadQueue&) = delete;
  ThreadQueue& operator=(const ThreadQueue&) = delete;

  int fd() const { return event_fd_; }

  void Push(PostedMessage item) {
    {
      MutexLock guard(mutex_);
      items_.push_back(std::move(item));
    }
    if (event_fd_ >= 0) {
      const uint64_t one = 1;
      // A full counter (never in practice) still leaves the fd readable.
      while (::write(event_fd_, &one, sizeof one) < 0 && errno == EINTR) {
      }
    }
  }

  bool Pop(PostedMessage* item) {
    MutexLock guard(mutex_);
    if (items_.empty()) return false;
    *item = std::move(items_.front());
    items_.pop_front();
    return true;
  }

  bool Empty() {
    MutexLock guard(mutex_);
    return items_.empty();
  }

  // Takes out every message of |window| (for disposal by the caller).
  std::vector<PostedMessage> Purge(WindowHandle window) {
    std::vector<PostedMessage> purged;
    MutexLock guard(mutex_);
    for (auto it = items_.begin(); it != items_.end();) {
      if (it->window == window) {
        purged.push_back(std::move(*it));
        it = items_.erase(it);
      } else {
        ++it;
      }
    }
    return purged;
  }

  // Resets the fd's counter. Done before emptying the queue, so a post that
  // races with the pump leaves the fd readable rather than losing a wake-up.
  void DrainFd() {
    if (event_fd_ < 0) return;
    uint64_t count = 0;
    while (::read(event_fd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
  }

 private:
  const int event_fd_;
  Mutex mutex_;
  std::deque<PostedMessage> items_ VEX_GUARDED_BY(mutex_);
};

std::shared_ptr<ThreadQueue>& CurrentQueue() {
  thread_local std::shared_ptr<ThreadQueue> queue = std::make_shared<ThreadQueue>();
  return queue;
}

struct WindowEntry {
  std::shared_ptr<ThreadQueue> queue;
  std::shared_ptr<WindowHandlerTable> handlers;
};

struct WindowTable {
  Mutex mutex;
  std::unordered_map<WindowHandle, WindowEntry> windows VEX_GUARDED_BY(mutex);
  WindowHandle last_handle VEX_GUARDED_BY(mutex) = 0;
  int failures_to_inject VEX_GUARDED_BY(mutex) = 0;

  bool Find(WindowHandle handle, WindowEntry* entry) {
    MutexLock guard(mutex);
    const auto it = windows.find(handle);
    if (it == windows.end()) return false;
    *entry = it->second;
    return true;
  }
};

WindowTable& Windows() {
  static WindowTable* table = new WindowTable;  // never destroyed: threads may outlive static destruction
  return *table;
}

// Hands one message to its handler, or disposes of it.
void Dispatch(PostedMessage& item) {
  WindowEntry entry;
  MessageHandler handler;
  if (Windows().Find(item.window, &entry)) handler = entry.handlers->Find(item.message);
  if (handler) {
    handler(item.wparam, item.lparam);
  } else {
    item.Dispose();
  }
}

}  // namespace

MessageId RegisterMessageName(std::string_view name) {
  if (name.empty()) return 0;
  // The numbers given so far, and the next free one.
  struct Names {
    Mutex mutex;
    std::unordered_map<std::string, MessageId> numbers VEX_GUARDED_BY(mutex);
    MessageId next VEX_GUARDED_BY(mutex) = kFirstRegisteredMessage;
  };
  static Names names;
  std::string key;
  key.reserve(name.size());
  for (char c : name) key.push_back(FoldAscii(c));
  MutexLock guard(names.mutex);
  auto& numbers = names.numbers;
  auto& next = names.next;
  const auto it = numbers.find(key);
  if (it != numbers.end()) return it->second;
  if (next > kLastRegisteredMessage) return 0;
  const MessageId id = next++;
  numbers.emplace(std::move(key), id);
  return id;
}

MessageWindow::MessageWindow(WindowHandle handle, std::string name, std::shared_ptr<WindowHandlerTable> handlers)
    : handle_(handle), name_(std::move(name)), handlers_(std::move(handlers)) {}

std::unique_ptr<MessageWindow> MessageWindow::Create(std::string name) {
  std::shared_ptr<ThreadQueue> queue = CurrentQueue();
  if (queue->fd() < 0) return nullptr;
  auto handlers = std::make_shared<WindowHandlerTable>();
  WindowTable& table = Windows();
  WindowHandle handle;
  {
    MutexLock guard(table.mutex);
    if (table.failures_to_inject > 0) {
      --table.failures_to_inject;
      return nullptr;
    }
    handle = ++table.last_handle;
    table.windows.emplace(handle, WindowEntry{queue, handlers});
  }
  return std::unique_ptr<MessageWindow>(new MessageWindow(handle, std::move(name), std::move(handlers)));
}

MessageWindow::~MessageWindow() {
  WindowEntry entry;
  WindowTable& table = Windows();
  {
    MutexLock guard(table.mutex);
    const auto it = table.windows.find(handle_);
    if (it == table.windows.end()) return;
    entry = std::move(it->second);
    table.windows.erase(it);
  }
  for (auto& item : entry.queue->Purge(handle_)) item.Dispose();
}

void MessageWindow::SetHandler(MessageId message, MessageHandler handler) {
  MutexLock guard(handlers_->mutex);
  if (handler) {
    handlers_->handlers[message] = std::move(handler);
  } else {
    handlers_->handlers.erase(message);
  }
}

void MessageWindow::FailNextCreations(int count) {
  WindowTable& table = Windows();
  MutexLock guard(table.mutex);
  table.failures_to_inject = count;
}

PostResult PostMessage(WindowHandle window, MessageId message, uintptr_t wparam, intptr_t lparam,
                       PayloadDisposer disposer) {
  WindowEntry entry;
  if (window == 0 || !Windows().Find(window, &entry)) return PostResult::kNoWindow;
  // Should the window be destroyed between the look-up and the push, the
  // pump finds no window and disposes of the message.
  entry.queue->Push(PostedMessage{window, message, wparam, lparam, std::move(disposer)});
  return PostResult::kPosted;
}

int ThreadMessageFd() { return CurrentQueue()->fd(); }

int PumpMessages() {
  // Hold the queue so that a handler destroying the last window cannot free
  // it under our feet.
  const std::shared_ptr<ThreadQueue> queue = CurrentQueue();
  queue->DrainFd();
  int taken = 0;
  PostedMessage item;
  while (queue->Pop(&item)) {
    ++taken;
    Dispatch(item);
    item = PostedMessage{};
  }
  return taken;
}

int PumpMessagesFor(int timeout_ms) {
  const std::shared_ptr<ThreadQueue> queue = CurrentQueue();
  // The wait is the kernel's, on the queue's descriptor, so it runs in real
  // time: the deadline is the system clock's.
  Clock& clock = SystemClock();
  const int64_t deadline = clock.NowMs() + (timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    if (!queue->Empty()) {
      const int taken = PumpMessages();
      if (taken > 0) return taken;
    }
    int wait_ms = -1;
    if (timeout_ms >= 0) {
      const int64_t left = deadline - clock.NowMs();
      if (left <= 0) return 0;
      wait_ms = static_cast<int>(left);
    }
    if (queue->fd() < 0) return 0;
    pollfd pfd{queue->fd(), POLLIN, 0};
    const int ready = ::poll(&pfd, 1, wait_ms);
    if (ready < 0 && errno != EINTR) return 0;
    if (ready > 0) {
      const int taken = PumpMessages();
      if (taken > 0) return taken;
      // A stale wake-up (the message was already pumped): keep waiting.
    }
  }
}

}  // namespace vexokrt::platform
