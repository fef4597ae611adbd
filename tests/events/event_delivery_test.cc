// SPDX-License-Identifier: Apache-2.0
#include "events/event_delivery.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <new>
#include <vector>

#include "support/temp_dir.h"

namespace vexokrt::events {
namespace {

// Stands in for the hidden window: posted events wait here until the test,
// playing the application's thread, pumps them.
class FakeWindow {
 public:
  bool Post(std::unique_ptr<EventRecord> record) {
    bool taken = false;
    {
      std::lock_guard lock(mutex_);
      if (refuse_) {
        ++refused_;
      } else {
        posted_.push_back(std::move(record));
        taken = true;
      }
    }
    changed_.notify_all();
    return taken;
  }
  // Waits up to |ms| until |count| posts have been refused.
  bool WaitForRefusals(int count, int ms = 2000) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return refused_ >= count; });
  }
  // Waits up to |ms| for a posted event.
  std::unique_ptr<EventRecord> Next(int ms = 2000) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !posted_.empty(); })) return nullptr;
    auto record = std::move(posted_.front());
    posted_.pop_front();
    return record;
  }
  void Refuse() {
    std::lock_guard lock(mutex_);
    refuse_ = true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<EventRecord>> posted_;
  bool refuse_ = false;
  int refused_ = 0;
};

class RecordingSink : public EventSink {
 public:
  void FireData(int32_t status) override { fired.push_back("data " + std::to_string(status)); }
  void FireDirectIO(int32_t number, int32_t* data, std::string* text) override {
    fired.push_back("dio " + std::to_string(number) + " " + std::to_string(*data) + " " + *text);
    *data = reply_data;
  }
  void FireStatusUpdate(int32_t status) override { fired.push_back("status " + std::to_string(status)); }

  std::vector<std::string> fired;
  int32_t reply_data = 1;
};

class EventDeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("OPOS_LOCK_DIR", dir_.path().c_str(), 1);
    exam_.SetFileName(dir_.prefix() + "ExamlogS.txt");
    delivery_ = std::make_unique<EventDelivery>(exam_);
    ASSERT_TRUE(delivery_->Start([this](std::unique_ptr<EventRecord> r) { return window_.Post(std::move(r)); }));
  }
  // Pumps |n| events through the sink, as the window would.
  void Pump(int n) {
    for (int i = 0; i < n; ++i) {
      auto record = window_.Next();
      ASSERT_NE(record, nullptr) << "event " << i << " never posted";
      delivery_->FireEvent(std::move(record), sink_);
    }
  }
  void ExpectNothingPosted() { EXPECT_EQ(window_.Next(50), nullptr); }

  testing::TempDir dir_;
  diag::ExamLog exam_;
  FakeWindow window_;
  RecordingSink sink_;
  std::unique_ptr<EventDelivery> delivery_;
};

TEST_F(EventDeliveryTest, EventsLeaveInOrderOfArrivalOneAtATime) {
  delivery_->QueueStatusUpdate(31);
  delivery_->QueueStatusUpdate(32);
  delivery_->Queue(EventRecord::DirectIO(3, 1, ""));
  auto first = window_.Next();
  ASSERT_NE(first, nullptr);
  ExpectNothingPosted();  // the next waits until the first has been fired
  delivery_->FireEvent(std::move(first), sink_);
  Pump(2);
  EXPECT_EQ(sink_.fired, (std::vector<std::string>{"status 31", "status 32", "dio 3 1 "}));
}

TEST_F(EventDeliveryTest, DataEventWaitsForDataEventEnabledAndOthersOvertake) {
  delivery_->Queue(EventRecord::Data(0, {}));
  delivery_->QueueStatusUpdate(12);
  Pump(1);
  EXPECT_EQ(sink_.fired, (std::vector<std::string>{"status 12"}));
  ExpectNothingPosted();
  EXPECT_EQ(delivery_->CountDataEvents(), 1);
  delivery_->SetDataEventEnabled(true);
  Pump(1);
  EXPECT_EQ(sink_.fired.back(), "data 0");
  EXPECT_FALSE(delivery_->DataEventEnabled());  // firing a data event clears it
}

TEST_F(EventDeliveryTest, FreezeEventsHoldsEverythingThenReleasesInOrder) {
  delivery_->SetFreezeEvents(true);
  delivery_->QueueStatusUpdate(11);
  delivery_->QueueStatusUpdate(13);
  ExpectNothingPosted();
  delivery_->SetFreezeEvents(false);
  Pump(2);
  EXPECT_EQ(sink_.fired, (std::vector<std::string>{"status 11", "status 13"}));
}

TEST_F(EventDeliveryTest, ControlObjectFreezeBlocksLikeFreezeEventsButIsSeparate) {
  delivery_->SetControlObjectFreeze(true);
  delivery_->QueueStatusUpdate(21);
  ExpectNothingPosted();
  EXPECT_FALSE(delivery_->FreezeEvents());
  delivery_->SetControlObjectFreeze(false);
  Pump(1);
  EXPECT_EQ(sink_.fired, (std::vector<std::string>{"status 21"}));
}

TEST_F(EventDeliveryTest, DirectIOAnswer_OneWhenDataLeftAtOneElseTwo) {
  auto kept = std::make_shared<AnswerSlot>();
  auto changed = std::make_shared<AnswerSlot>();
  delivery_->Queue(EventRecord::DirectIO(1, 1, "", kept));
  Pump(1);
  EXPECT_EQ(kept->Wait(0), 1);
  sink_.reply_data = 0;
  delivery_->Queue(EventRecord::DirectIO(1, 1, "", changed));
  Pump(1);
  EXPECT_EQ(changed->Wait(0), 2);
}

TEST_F(EventDeliveryTest, NotificationsTwoToEightGetNoAnswer) {
  auto slot = std::make_shared<AnswerSlot>();
  auto record = EventRecord::DirectIO(4, 1, "", slot);
  delivery_->Queue(std::move(record));
  Pump(1);
  EXPECT_EQ(slot->Value(), 0);
  EXPECT_TRUE(slot->abandoned());  // the record is gone without an answer
}

TEST_F(EventDeliveryTest, DropDataEventsKeepsStatusAndDirectIO) {
  delivery_->Queue(EventRecord::Data(0, {}));
  delivery_->SetFreezeEvents(true);
  delivery_->QueueStatusUpdate(31);
  delivery_->Queue(EventRecord::Data(0, {}));
  delivery_->Queue(EventRecord::DirectIO(5, 1, ""));
  EXPECT_EQ(delivery_->CountDataEvents(), 2);
  delivery_->DropDataEvents();
  EXPECT_EQ(delivery_->CountDataEvents(), 0);
  EXPECT_EQ(delivery_->QueuedCount(), 2u);
  delivery_->SetDataEventEnabled(true);
  delivery_->SetFreezeEvents(false);
  Pump(2);
  EXPECT_EQ(sink_.fired, (std::vector<std::string>{"status 31", "dio 5 1 "}));
}

TEST_F(EventDeliveryTest, StopDeletesQueuedEventsAndAbandonsTheirAnswers) {
  delivery_->SetFreezeEvents(true);
  auto slot = std::make_shared<AnswerSlot>();
  delivery_->Queue(EventRecord::DirectIO(1, 1, "", slot));
  delivery_->Stop();
  EXPECT_EQ(delivery_->QueuedCount(), 0u);
  EXPECT_TRUE(slot->abandoned());
  EXPECT_EQ(slot->Wait(-1), 0);  // a waiting producer is not left hanging
}

// What a post throws (no memory) ends delivery, not the program: the thread
// stops, what waits is dropped with its answer abandoned, and Stop returns.
TEST_F(EventDeliveryTest, PostThatThrows_EndsDeliveryAndLeavesNobodyWaiting) {
  delivery_->Stop();
  delivery_ = std::make_unique<EventDelivery>(exam_);
  std::atomic<int> posts{0};
  ASSERT_TRUE(delivery_->Start([&](std::unique_ptr<EventRecord>) -> bool {
    posts.fetch_add(1);
    throw std::bad_alloc();
  }));
  auto slot = std::make_shared<AnswerSlot>();
  delivery_->Queue(EventRecord::DirectIO(1, 1, "", slot));
  delivery_->Queue(EventRecord::DirectIO(1, 1, "", std::make_shared<AnswerSlot>()));
  EXPECT_EQ(slot->Wait(-1), 0) << "the answer is abandoned, not awaited for ever";
  delivery_->Stop();
  EXPECT_EQ(posts.load(), 1) << "nothing is offered after the throw";
  EXPECT_EQ(delivery_->QueuedCount(), 0u);
}

TEST_F(EventDeliveryTest, WindowThatRefusesPosts_DoesNotStallDelivery) {
  window_.Refuse();
  delivery_->QueueStatusUpdate(31);
  delivery_->QueueStatusUpdate(32);
  // The second event is offered only once the first has been dropped.
  ASSERT_TRUE(window_.WaitForRefusals(2));
  EXPECT_EQ(delivery_->QueuedCount(), 0u);
}

TEST_F(EventDeliveryTest, ExamLogRecordsTheDeliverySteps) {
  delivery_->QueueStatusUpdate(31);
  Pump(1);
  const std::string bytes = testing::ReadFileBytes(dir_.prefix() + "ExamlogS.txt");
  const size_t chosen = bytes.find(",8,6,0,0\r\n");
  const size_t handed = bytes.find(",8,5,0,0\r\n");
  const size_t received = bytes.find(",8,7,0,0\r\n");
  const size_t fired = bytes.find(",8,1,31,0\r\n");
  ASSERT_NE(fired, std::string::npos);
  EXPECT_LT(chosen, handed);
  EXPECT_LT(handed, received);
  EXPECT_LT(received, fired);
}

}  // namespace
}  // namespace vexokrt::events
