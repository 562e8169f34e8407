#include "router/dispatcher.h"

#include <gtest/gtest.h>

#include <boost/asio/thread_pool.hpp>

#include <cmath>
#include <limits>

#include "fakes/fake_display_directory.h"
#include "fakes/fake_input_injector.h"
#include "fakes/fake_pasteboard_access.h"
#include "services/clipboard/clipboard_service.h"
#include "services/file/file_service.h"
#include "services/input/input_service.h"
#include "services/screen/screen_service.h"
#include "services/terminal/terminal_service.h"
#include "support/run_awaitable.h"
#include "support/temp_dir.h"

namespace lumora::router {
namespace {

using platform::MouseEventType;
using platform::ScreenPoint;
using protocol::Envelope;
using protocol::MessageType;
using protocol::Payload;
using protocol::ProtocolError;

constexpr core::PeerID kPeer = 7;

// Records stream requests; fails on demand.
class FakeStreamController : public ScreenStreamController {
 public:
  boost::asio::awaitable<void> startStream(protocol::CaptureFrameRequest request) override {
    if (fail) throw std::runtime_error("capture refused");
    started.push_back(request);
    co_return;
  }
  boost::asio::awaitable<void> stopStream() override {
    ++stops;
    co_return;
  }
  std::vector<protocol::CaptureFrameRequest> started;
  int stops = 0;
  bool fail = false;
};

class DispatcherTest : public ::testing::Test {
 protected:
  DispatcherTest() {
    displays_->list = {{1, "Main", 1000, 800, true}, {2, "Side", 1920, 1080, false}};
    displays_->rects = {{1, {100, 50, 1000, 800}}, {2, {1100, 0, 1920, 1080}}};
    injector_->movesCursor = true;  // as a real pointer does
    Dispatcher::Services services;
    services.file = &file_;
    services.terminal = &terminal_;
    services.input = &input_;
    services.screen = &screen_;
    services.clipboard = &clipboard_;
    services.displays = displays_;
    services.screenStream = &stream_;
    services.defaultShell = [] { return std::string("/bin/sh"); };
    dispatcher_ = std::make_unique<Dispatcher>(std::move(services));
  }
  ~DispatcherTest() override { pool_.join(); }

  Envelope ask(Payload payload) {
    Envelope request = Envelope::request(std::move(payload));
    Envelope reply = testing_support::runAwaitable(io_, dispatcher_->handle(request, kPeer));
    EXPECT_EQ(reply.correlationID, request.id);
    return reply;
  }

  static ProtocolError errorOf(const Envelope& reply) {
    const auto* error = reply.payload.get<MessageType::error>();
    return error ? *error : ProtocolError{"(not an error)", ""};
  }

  // Where the last pointer event went.
  ScreenPoint lastPointer() const {
    return injector_->mouse.empty() ? ScreenPoint{-1, -1} : injector_->mouse.back().at;
  }

  boost::asio::io_context io_;
  boost::asio::thread_pool pool_{2};
  std::shared_ptr<fakes::FakeDisplayDirectory> displays_ =
      std::make_shared<fakes::FakeDisplayDirectory>();
  std::shared_ptr<fakes::FakeInputInjector> injector_ =
      std::make_shared<fakes::FakeInputInjector>();
  std::shared_ptr<fakes::FakePasteboardAccess> pasteboard_ =
      std::make_shared<fakes::FakePasteboardAccess>();
  testing_support::TempDir staging_;
  services::FileService file_{pool_.get_executor()};
  services::TerminalService terminal_{io_.get_executor()};
  services::input::InputService input_{pool_.get_executor(), injector_};
  services::screen::ScreenService screen_{pool_.get_executor(), displays_, nullptr};
  services::ClipboardService clipboard_{pool_.get_executor(), pasteboard_, staging_.path()};
  FakeStreamController stream_;
  std::unique_ptr<Dispatcher> dispatcher_;
};

TEST_F(DispatcherTest, PointsLandOnTheStreamedDisplayElseTheMainOne) {
  ask(protocol::MouseMoveCommand{{0.5, 0.5}});
  EXPECT_EQ(lastPointer(), (ScreenPoint{600, 450}));
  ask(protocol::MouseMoveCommand{{-1, 2}});
  EXPECT_EQ(lastPointer(), (ScreenPoint{100, 850}));
  ask(protocol::MouseMoveCommand{{std::nan(""), 0.25}});
  EXPECT_EQ(lastPointer(), (ScreenPoint{100, 250}));

  ask(protocol::CaptureFrameRequest{protocol::CaptureMode::startStream, {}, {}, {}, 2u});
  ask(protocol::MouseClickCommand{protocol::Point{1, 0}, protocol::MouseButton::right});
  EXPECT_EQ(injector_->mouse.back().type, MouseEventType::rightMouseUp);
  EXPECT_EQ(lastPointer(), (ScreenPoint{3020, 0}));

  // A failed start leaves the streamed display as it was.
  stream_.fail = true;
  EXPECT_EQ(errorOf(ask(
                protocol::CaptureFrameRequest{protocol::CaptureMode::startStream, {}, {}, {}, 1u})),
            (ProtocolError{"internal", "capture refused"}));
  ask(protocol::MouseMoveCommand{{0, 0}});
  EXPECT_EQ(lastPointer(), (ScreenPoint{1100, 0}));

  ask(protocol::CaptureFrameRequest{protocol::CaptureMode::stopStream, {}, {}, {}, {}});
  EXPECT_EQ(stream_.stops, 1);
  ask(protocol::MouseMoveCommand{{0, 0}});
  EXPECT_EQ(lastPointer(), (ScreenPoint{100, 50}));
}

TEST_F(DispatcherTest, InputRequestsBecomeTheRightServiceCalls) {
  EXPECT_EQ(ask(protocol::ScrollCommand{3.9, -3.9}).payload.messageType(), MessageType::ack);
  ASSERT_EQ(injector_->scrolls.size(), 1u);
  EXPECT_EQ(injector_->scrolls[0], (fakes::FakeInputInjector::ScrollEvent{-3, 3}));
  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(), 1e12}) {
    EXPECT_EQ(errorOf(ask(protocol::ScrollCommand{0, bad})),
              (ProtocolError{"bad_request", "scroll delta out of range"}));
  }
  EXPECT_EQ(injector_->scrolls.size(), 1u);

  // A press at a point first moves there, then holds the button.
  ask(protocol::MouseButtonCommand{protocol::Point{0, 0}, protocol::MouseButton::left, true});
  EXPECT_EQ(injector_->mouse.back().type, MouseEventType::leftMouseDown);
  EXPECT_EQ(lastPointer(), (ScreenPoint{100, 50}));
  // ... on behalf of the connection that asked.
  testing_support::runAwaitable(io_, input_.releaseHeldButton(kPeer));
  EXPECT_EQ(injector_->mouse.back().type, MouseEventType::leftMouseUp);

  // A desktop that cannot take remote input says so (one check in route() before any input
  // request is served), and posts nothing.
  injector_->noRemoteInput = "no remote control here";
  const auto posted = injector_->mouse.size();
  EXPECT_EQ(errorOf(ask(protocol::MouseClickCommand{std::nullopt, protocol::MouseButton::left})),
            (ProtocolError{"unavailable", "no remote control here"}));
  EXPECT_EQ(injector_->mouse.size(), posted);
  // Everything else is served as before.
  EXPECT_EQ(ask(protocol::PingRequest{}).payload.messageType(), MessageType::ack);
}

// Listing displays and the clipboard's round trip are seen end to end (cli_e2e_test); here, the
// requests the dispatcher itself turns down.
TEST_F(DispatcherTest, ScreenAndClipboardRequests) {
  EXPECT_EQ(
      errorOf(ask(protocol::CaptureFrameRequest{protocol::CaptureMode::single, {}, {}, {}, {}})),
      (ProtocolError{"unsupported", "single-frame mode not supported; use startStream"}));

  ask(Payload::clipboardSet(protocol::ClipboardContent::makeText("copied")));
  protocol::ClipboardContent fileWithoutData = protocol::ClipboardContent::makeFile("a.txt", {});
  fileWithoutData.fileData.reset();
  EXPECT_EQ(ask(Payload::clipboardSet(fileWithoutData)).payload.messageType(), MessageType::ack);
  Envelope content = ask(protocol::ClipboardGetRequest{});
  EXPECT_EQ(*content.payload.get<MessageType::clipboardContent>(),
            protocol::ClipboardContent::makeText("copied"));
}

// What the file and terminal services do is theirs to test (and the agent's under load); here,
// how failures and defaults reach the reply.
TEST_F(DispatcherTest, FailuresBecomeErrorRepliesAndCommandsGetTheDefaultShell) {
  EXPECT_EQ(errorOf(ask(protocol::FileRemoveRequest{staging_ / "missing"})),
            (ProtocolError{"internal", "No such file or directory"}));

  Envelope run = ask(protocol::TerminalRunRequest{"echo $0; exit 4", std::nullopt});
  EXPECT_EQ(*run.payload.get<MessageType::terminalRunResult>(),
            (protocol::TerminalRunResult{4, "/bin/sh\n", ""}));

  EXPECT_EQ(ask(protocol::PingRequest{}).payload.messageType(), MessageType::ack);
  EXPECT_EQ(errorOf(ask(protocol::MediaTicketRequest{})),
            (ProtocolError{"unexpected_message",
                           "agent received a response-type payload: media.ticket"}));
}

}  // namespace
}  // namespace lumora::router
