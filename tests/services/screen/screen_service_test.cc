#include "services/screen/screen_service.h"

#include "fakes/fake_display_directory.h"
#include "fakes/fake_frame_source.h"
#include "platform/capture_error.h"
#include "services/screen/screen_error.h"
#include "support/run_awaitable.h"

#include <gtest/gtest.h>

#include <boost/asio/thread_pool.hpp>

#include <algorithm>

namespace lumora::services::screen {
namespace {

using platform::DisplayDescriptor;
using platform::PixelBuffer;
using testing_support::runAwaitable;

PixelBuffer filled(int width, int height, std::uint8_t value) {
  auto frame = PixelBuffer::allocate(width, height);
  std::fill_n(frame->mutableData(), frame->byteCount(), value);
  return *frame;
}

class ScreenServiceTest : public ::testing::Test {
 protected:
  ScreenService makeService(std::chrono::milliseconds stillTimeout = std::chrono::seconds(5)) {
    return ScreenService(
        pool_.get_executor(), directory_,
        [this](std::optional<int> w, std::optional<int> h, std::optional<std::uint32_t> id,
               int fps) {
          requests_.push_back({w, h, id, fps});
          auto source = std::make_unique<fakes::FakeFrameSource>();
          source->frames = frames_;
          source->startFailure = startFailure_;
          lastCounts_ = source->counts;
          return source;
        },
        stillTimeout);
  }

  struct Request {
    std::optional<int> width;
    std::optional<int> height;
    std::optional<std::uint32_t> displayID;
    int fps;
  };

  boost::asio::thread_pool pool_{2};
  std::shared_ptr<fakes::FakeDisplayDirectory> directory_ =
      std::make_shared<fakes::FakeDisplayDirectory>();
  std::vector<fakes::FakeFrameSource::Frame> frames_;
  std::optional<std::string> startFailure_;
  std::vector<Request> requests_;
  std::shared_ptr<fakes::FakeFrameSource::Counts> lastCounts_;
};

TEST_F(ScreenServiceTest, ListsDisplaysInThePlatformsOrderAndPassesFailuresOn) {
  const std::vector<DisplayDescriptor> displays = {{7, "Side", 1920, 1080, false},
                                                   {3, "Built-in", 2560, 1600, true}};
  directory_->set(displays);
  ScreenService service = makeService();
  EXPECT_EQ(runAwaitable(service.listDisplays()), displays);

  directory_->failWith("server gone");
  EXPECT_THROW(runAwaitable(service.listDisplays()), std::runtime_error);
}

TEST_F(ScreenServiceTest, StillCaptureTakesTheFirstDisplaysFirstFrameAndStopsTheSource) {
  directory_->set({{7, "Side", 1920, 1080, false}, {3, "Built-in", 2560, 1600, true}});
  frames_ = {{filled(4, 2, 0xAB), 0}, {filled(4, 2, 0xCD), 33}};
  ScreenService service = makeService();

  const PixelBuffer still = runAwaitable(service.captureMainDisplay());
  EXPECT_EQ(still.data()[0], 0xAB);
  ASSERT_EQ(requests_.size(), 1u);
  EXPECT_EQ(requests_[0].displayID, 7u) << "the first display, not the main one";
  EXPECT_EQ(requests_[0].width, 1920);
  EXPECT_EQ(requests_[0].height, 1080);
  ASSERT_NE(lastCounts_, nullptr);
  EXPECT_EQ(lastCounts_->starts, 1);
  EXPECT_EQ(lastCounts_->stops, 1);
}

TEST_F(ScreenServiceTest, StillCaptureFailures) {
  ScreenService service = makeService(std::chrono::milliseconds(100));
  try {
    runAwaitable(service.captureMainDisplay());
    ADD_FAILURE() << "no display must throw";
  } catch (const ScreenError& e) {
    EXPECT_EQ(e.code(), ScreenError::noDisplay);
  }
  EXPECT_TRUE(requests_.empty()) << "no source is made without a display";

  directory_->set({{1, "Only", 800, 600, true}});
  startFailure_ = "capture refused";
  EXPECT_THROW(runAwaitable(service.captureMainDisplay()), std::runtime_error);

  startFailure_.reset();  // a source that never delivers a frame: bounded wait
  EXPECT_THROW(runAwaitable(service.captureMainDisplay()), platform::CaptureError);
}

}  // namespace
}  // namespace lumora::services::screen
