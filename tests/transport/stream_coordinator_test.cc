#include "transport/stream_coordinator.h"

#include <gtest/gtest.h>

#include <boost/asio/thread_pool.hpp>

#include <mutex>
#include <thread>

#include "fakes/fake_frame_source.h"
#include "support/eventually.h"
#include "support/h264_test_codec.h"
#include "support/recorder.h"
#include "support/run_awaitable.h"

namespace lumora::transport {
namespace {

using namespace std::chrono_literals;
using fakes::FakeFrameSource;
using testing_support::eventually;
using testing_support::movingBox;
using testing_support::runAwaitable;

using Log = testing_support::Recorder<std::pair<std::string, protocol::MediaFrame>>;

// Records what it is handed, tagged with its name, in a log shared by all sinks (and kept for
// as long as a sink may still be called on the pool).
struct RecordingSink : MediaSink {
  RecordingSink(std::string sinkName, std::shared_ptr<Log> sharedLog)
      : name(std::move(sinkName)), log(std::move(sharedLog)) {}
  void broadcast(const protocol::MediaFrame& frame) override { log->add({name, frame}); }
  std::string name;
  std::shared_ptr<Log> log;
};

class StreamCoordinatorTest : public ::testing::Test {
 protected:
  std::shared_ptr<StreamCoordinator> makeCoordinator(
      std::chrono::milliseconds idleStopAfter = 30s) {
    StreamCoordinator::Options options;
    options.idleStopAfter = idleStopAfter;
    auto factory = [this](const protocol::CaptureFrameRequest&) {
      std::lock_guard guard(lock_);
      // The previous stream must be gone before the next source exists.
      stoppedBeforeNext_.push_back(sources_.empty() || sources_.back()->stops > 0);
      auto source = std::make_shared<FakeFrameSource>();
      source->frames = {{movingBox(64, 32, 0), 1000}};
      sources_.push_back(source);
      return source;
    };
    return StreamCoordinator::make(pool_.get_executor(), factory,
                                   {std::make_shared<RecordingSink>("media", log_),
                                    std::make_shared<RecordingSink>("relay", log_)},
                                   services::screen::EncoderSettings{}, options);
  }

  std::shared_ptr<FakeFrameSource> source(std::size_t index) {
    std::lock_guard guard(lock_);
    return sources_.at(index);
  }

  boost::asio::thread_pool pool_{2};
  std::shared_ptr<Log> log_ = std::make_shared<Log>();
  std::mutex lock_;
  std::vector<std::shared_ptr<FakeFrameSource>> sources_;
  std::vector<bool> stoppedBeforeNext_;
};

TEST_F(StreamCoordinatorTest, EncodesEveryFrameForEverySinkInOrder) {
  auto coordinator = makeCoordinator();
  runAwaitable(coordinator->startStream({}));
  EXPECT_TRUE(coordinator->isStreaming());
  source(0)->emit(movingBox(64, 32, 9), 1033);

  auto frames = log_->items();
  ASSERT_EQ(frames.size(), 4u);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const auto& [sink, frame] = frames[i];
    EXPECT_EQ(sink, i % 2 == 0 ? "media" : "relay");
    EXPECT_EQ(frame, frames[i - i % 2].second) << "both sinks see the same frame";
    EXPECT_EQ(frame.meta.frameID, i / 2);
    EXPECT_EQ(frame.meta.byteCount, static_cast<std::int64_t>(frame.payload.size()));
    EXPECT_EQ(frame.meta.presentationTimeMillis, i < 2 ? 1000u : 1033u);
  }
  EXPECT_TRUE(frames[0].second.meta.isKeyframe);

  runAwaitable(coordinator->stopStream());
  EXPECT_FALSE(coordinator->isStreaming());
  EXPECT_EQ(source(0)->stops, 1);
  source(0)->emit(movingBox(64, 32, 20), 1066);
  EXPECT_EQ(log_->size(), 4u) << "nothing flows after the stop";
}

TEST_F(StreamCoordinatorTest, ANewStartReplacesTheRunningStream) {
  auto coordinator = makeCoordinator();
  runAwaitable(coordinator->stopStream());  // nothing running: fine

  // Requests that overlap are served one after another, each stopping the stream before it:
  // still one stream at the end.
  std::vector<std::thread> callers;
  for (int i = 0; i < 4; ++i) {
    callers.emplace_back([&] { runAwaitable(coordinator->startStream({})); });
  }
  for (auto& caller : callers) caller.join();
  ASSERT_EQ(sources_.size(), 4u);
  int running = 0;
  for (std::size_t i = 0; i < 4; ++i) running += source(i)->stops == 0 ? 1 : 0;
  EXPECT_EQ(running, 1);
  for (bool stopped : stoppedBeforeNext_) EXPECT_TRUE(stopped);
}

TEST_F(StreamCoordinatorTest, AStreamNobodyReceivesStopsByItself) {
  auto coordinator = makeCoordinator(150ms);
  runAwaitable(coordinator->startStream({}));
  coordinator->receiverCountChanged(1);
  std::this_thread::sleep_for(400ms);
  EXPECT_TRUE(coordinator->isStreaming()) << "a receiver keeps the stream alive";

  coordinator->receiverCountChanged(0);
  EXPECT_TRUE(eventually([&] { return !coordinator->isStreaming(); }));
  EXPECT_EQ(source(0)->stops, 1);

  // A stream started with nobody watching goes the same way.
  runAwaitable(coordinator->startStream({}));
  coordinator->receiverCountChanged(0);
  EXPECT_TRUE(eventually([&] { return !coordinator->isStreaming(); }));
}

}  // namespace
}  // namespace lumora::transport
