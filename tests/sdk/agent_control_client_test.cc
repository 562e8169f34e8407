#include "sdk/agent_control_client.h"
#include "sdk/file_transfer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "scripted_peer.h"
#include "support/eventually.h"

namespace lumora::sdk {
namespace {

using namespace std::chrono_literals;
using protocol::Bytes;
using protocol::Envelope;
using protocol::MessageType;
using testing_support::ScriptedPeer;
using testing_support::sdkErrorOf;

template <MessageType T>
const protocol::PayloadRecord<T>& recordOf(const Envelope& envelope) {
  auto* record = envelope.payload.get<T>();
  if (!record)
    throw std::runtime_error("unexpected " + std::string(rawValue(envelope.payload.messageType())));
  return *record;
}

class AgentControlClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client_.setOnDisconnect([this] { ++disconnects_; });
    auto connected = client_.connect("127.0.0.1", peer_.port());
    peer_.accept();
    connected.get();
  }

  ScriptedPeer peer_;
  AgentControlClient client_;
  std::atomic<int> disconnects_{0};
};

TEST_F(AgentControlClientTest, RepliesFindTheirRequestsWhateverTheOrder) {
  auto first = client_.listFiles("/first");
  auto second = client_.listFiles("/second");
  auto ping = client_.ping();
  Envelope a = peer_.next();
  Envelope b = peer_.next();
  Envelope c = peer_.next();
  // Answer in reverse order; each reply echoes its request's path.
  peer_.reply(c, protocol::Ack{});
  peer_.reply(b, protocol::FileListResult{recordOf<MessageType::fileList>(b).path, {}});
  peer_.reply(a, protocol::FileListResult{recordOf<MessageType::fileList>(a).path, {}});
  EXPECT_EQ(second.get().path, "/second");
  EXPECT_EQ(first.get().path, "/first");
  ping.get();
}

// An agent's error reply fails the call with it (the CLI's errors show it end to end); so does
// a reply of the wrong type.
TEST_F(AgentControlClientTest, WrongReplyTypesFailTheCall) {
  auto ping = client_.ping();
  peer_.reply(peer_.next(), protocol::MediaTicketResult{"abc"});
  SDKError error = sdkErrorOf(ping);
  ASSERT_EQ(error.kind(), SDKError::Kind::unexpectedResponse);
  EXPECT_EQ(error.responseType(), MessageType::mediaTicketResult);
}

TEST_F(AgentControlClientTest, GarbageAndStrayRepliesAreDroppedAndTheConnectionGoesOn) {
  auto ping = client_.ping();
  Envelope request = peer_.next();
  peer_.sendRaw(protocol::FrameCodec::encode(protocol::bytesOf("{not json")));
  peer_.send(Envelope::response(protocol::MessageID::generate(), protocol::Ack{}));
  peer_.event(protocol::ScreenFrameMeta{});
  EXPECT_EQ(ping.wait_for(100ms), std::future_status::timeout);
  peer_.reply(request, protocol::Ack{});
  ping.get();
  EXPECT_EQ(disconnects_, 0);
}

// Pairing with a real agent, and its refusal, are seen end to end (relay_e2e_test, the CLI's
// errors); here, that a code that cannot be one is refused before anything is sent.
TEST_F(AgentControlClientTest, AnInvalidPairingCodeSendsNothing) {
  SDKError invalid = sdkErrorOf(client_.authenticate("0123456789abcdef", "phone"));
  EXPECT_EQ(invalid.kind(), SDKError::Kind::connectionFailed);
  EXPECT_EQ(invalid.reason(), "invalid pairing code");
  auto ping = client_.ping();
  EXPECT_EQ(peer_.next().payload.messageType(), MessageType::ping);
}

// The peer must see nothing more for a moment: the client is waiting for an answer.
void expectNothingMore(ScriptedPeer& peer) {
  peer.setReadLimit(100ms);
  EXPECT_THROW(peer.next(), std::runtime_error);
  peer.setReadLimit(5s);
}

TEST_F(AgentControlClientTest, AnUploadSendsItsFirstPieceAloneThenAWindowAndStopsAtAFailure) {
  Bytes data(600000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  auto source = [&](std::int64_t offset, std::size_t length) {
    return Bytes(data.begin() + offset,
                 data.begin() + offset + static_cast<std::ptrdiff_t>(length));
  };
  std::int64_t lastDone = 0;
  auto upload = std::async(std::launch::async, [&] {
    return uploadFile(client_, static_cast<std::int64_t>(data.size()), source, "/tmp/big",
                      {.chunkSize = 262144, .window = 2},
                      [&](std::int64_t done, std::int64_t) { lastDone = done; });
  });
  // The first piece creates the file: nothing else goes before the agent has taken it.
  Envelope first = peer_.next();
  EXPECT_EQ(recordOf<MessageType::fileUpload>(first).offset, 0);
  expectNothingMore(peer_);
  peer_.reply(first, protocol::Ack{});
  Envelope second = peer_.next();
  Envelope third = peer_.next();  // both out at once
  Bytes received = recordOf<MessageType::fileUpload>(first).data;
  std::vector<std::pair<std::int64_t, bool>> pieces;
  for (const Envelope* request : {&first, &second, &third}) {
    const auto& piece = recordOf<MessageType::fileUpload>(*request);
    EXPECT_EQ(piece.path, "/tmp/big");
    pieces.emplace_back(piece.offset, piece.isFinal);
    if (request != &first) received.insert(received.end(), piece.data.begin(), piece.data.end());
  }
  peer_.reply(second, protocol::Ack{});
  peer_.reply(third, protocol::Ack{});
  EXPECT_EQ(upload.get(), 600000);
  EXPECT_EQ(lastDone, 600000);
  EXPECT_EQ(pieces, (std::vector<std::pair<std::int64_t, bool>>{
                        {0, false}, {262144, false}, {524288, true}}));
  EXPECT_EQ(received, data);

  // An empty file is one empty final piece.
  auto empty = std::async(std::launch::async, [&] { return uploadFile(client_, 0, source, "/e"); });
  Envelope request = peer_.next();
  EXPECT_EQ(recordOf<MessageType::fileUpload>(request),
            (protocol::FileUploadRequest{"/e", {}, 0, true}));
  peer_.reply(request, protocol::Ack{});
  EXPECT_EQ(empty.get(), 0);

  auto failing = std::async(std::launch::async, [&] {
    return uploadFile(client_, 10, source, "/f", {.chunkSize = 4, .window = 8});
  });
  peer_.reply(peer_.next(), protocol::Ack{});
  peer_.reply(peer_.next(), protocol::ProtocolError{"internal", "disk full"});
  EXPECT_EQ(sdkErrorOf(failing).agentError()->message, "disk full");
}

TEST_F(AgentControlClientTest, ADownloadAsksOnceThenFillsItsWindowAndFollowsAFileThatChanges) {
  std::vector<Bytes> pieces;
  auto sink = [&](const Bytes& piece) { pieces.push_back(piece); };
  auto download = std::async(std::launch::async, [&] {
    return downloadFile(client_, "/f", sink, {.chunkSize = 3, .window = 4});
  });
  // The first answer tells the size; then every piece up to it is asked for at once.
  Envelope first = peer_.next();
  EXPECT_EQ(recordOf<MessageType::fileDownload>(first),
            (protocol::FileDownloadRequest{"/f", 0, 3}));
  expectNothingMore(peer_);
  peer_.reply(first, protocol::FileDownloadResult{"/f", Bytes(3, 1), 0, 8, false});
  Envelope second = peer_.next();
  Envelope third = peer_.next();
  EXPECT_EQ(recordOf<MessageType::fileDownload>(second).offset, 3);
  EXPECT_EQ(recordOf<MessageType::fileDownload>(third).offset, 6);
  expectNothingMore(peer_);
  // The file shrank meanwhile: a short piece that is not the end sends the client on from
  // where it got, and the answer to the request aimed past it is not taken.
  peer_.reply(second, protocol::FileDownloadResult{"/f", Bytes(1, 2), 3, 4, false});
  Envelope again = peer_.next();
  EXPECT_EQ(recordOf<MessageType::fileDownload>(again).offset, 4);
  expectNothingMore(peer_);
  peer_.reply(third, protocol::FileDownloadResult{"/f", Bytes(2, 9), 6, 8, true});
  peer_.reply(again, protocol::FileDownloadResult{"/f", Bytes(2, 3), 4, 6, true});
  EXPECT_EQ(download.get(), 6);
  EXPECT_EQ(pieces, (std::vector<Bytes>{Bytes(3, 1), Bytes(1, 2), Bytes(2, 3)}));

  // An answer for another offset than the next one is refused.
  auto confused = std::async(std::launch::async, [&] { return downloadFile(client_, "/f", sink); });
  peer_.reply(peer_.next(), protocol::FileDownloadResult{"/f", Bytes(3), 5, 8, false});
  EXPECT_THROW(confused.get(), std::runtime_error);
}

TEST_F(AgentControlClientTest, TerminalOutputIsRoutedBySessionUntilExit) {
  auto opening = client_.openTerminal(std::nullopt, 100, 30);
  Envelope open = peer_.next();
  EXPECT_EQ(recordOf<MessageType::terminalOpen>(open),
            (protocol::TerminalOpenRequest{std::nullopt, 100, 30}));
  peer_.event(protocol::TerminalOutput{"S1", protocol::bytesOf("too early")});
  peer_.reply(open, protocol::TerminalOpened{"S1"});
  peer_.event(protocol::TerminalOutput{"S1", protocol::bytesOf("hello ")});
  peer_.event(protocol::TerminalOutput{"OTHER", protocol::bytesOf("not ours")});
  peer_.event(protocol::TerminalOutput{"S1", protocol::bytesOf("world")});
  peer_.event(protocol::TerminalExit{"S1", 0});
  TerminalSession session = opening.get();
  EXPECT_EQ(session.id(), "S1");
  EXPECT_EQ(session.output().next(), protocol::bytesOf("hello "));
  EXPECT_EQ(session.output().next(), protocol::bytesOf("world"));
  EXPECT_EQ(session.output().next(), std::nullopt);
  EXPECT_TRUE(session.output().ended());
}

TEST_F(AgentControlClientTest, AgentDroppingTheConnectionFailsPendingCallsAndReportsOnce) {
  auto ping = client_.ping();
  auto opening = client_.openTerminal(std::nullopt, 80, 24);
  peer_.next();
  peer_.reply(peer_.next(), protocol::TerminalOpened{"S3"});
  TerminalSession session = opening.get();
  peer_.close();
  EXPECT_EQ(sdkErrorOf(ping).kind(), SDKError::Kind::disconnected);
  EXPECT_EQ(session.output().next(), std::nullopt);
  ASSERT_TRUE(testing_support::eventually([&] { return disconnects_ > 0; }));
  std::this_thread::sleep_for(50ms);  // a second report would come from the connection's thread
  EXPECT_EQ(disconnects_, 1);
  EXPECT_EQ(sdkErrorOf(client_.ping()).kind(), SDKError::Kind::notConnected);
}

}  // namespace
}  // namespace lumora::sdk
