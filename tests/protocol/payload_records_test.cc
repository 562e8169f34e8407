#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <string>

#include "protocol/envelope.h"

namespace lumora::protocol {
namespace {

using ::testing::HasSubstr;

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A value of every message type, with every optional field present and awkward values where
// the wire could lose them (non-ASCII, bytes that are not UTF-8, extreme integers).
std::vector<Payload> everyPayload() {
  const Bytes binary = {0x00, 0xff, 0x10, 0x2f, 0xfe};
  return {
      FileListRequest{"/Users/ä/docs"},
      FileListResult{
          "/tmp", {{"a", "/tmp/a", true, 0, -1}, {"b.txt", "/tmp/b.txt", false, 1234, 1700000000}}},
      FileMoveRequest{"/a", "/b"},
      FileRemoveRequest{"/a"},
      FileDownloadRequest{"/f", 262144, 4096},
      FileDownloadResult{"/f", binary, 0, std::numeric_limits<std::int64_t>::max(), true},
      FileUploadRequest{"/f", binary, 524288, true},
      TerminalRunRequest{"echo hi | tr a-z A-Z", "/bin/bash"},
      TerminalRunResult{-1, "out\n", "err \xe2\x9c\x93"},
      TerminalOpenRequest{"/bin/sh", 65535, 1},
      TerminalOpened{"6F1C7E88-2A4B-4C1D-9E3F-1234567890AB"},
      TerminalInput{"S", binary},
      TerminalOutput{"S", {0xff}},
      TerminalResize{"S", 132, 43},
      TerminalCloseRequest{"S"},
      TerminalExit{"S", std::numeric_limits<std::int32_t>::min()},
      MouseMoveCommand{{0.25, 0.75}},
      MouseMoveByCommand{-3.5, 12},
      MouseClickCommand{Point{1.5, -0.2}, MouseButton::right},
      KeyCommand{65535, KeyAction::down},
      TypeTextCommand{"héllo 👋 \"quoted\" \\ /"},
      ScrollCommand{0.1, -120},
      DragCommand{{0, 0}, {1, 1}, MouseButton::middle},
      MouseButtonCommand{Point{0.5, 0.5}, MouseButton::left, true},
      CaptureFrameRequest{CaptureMode::startStream, 1920, 1080, VideoCodec::hevc, 4294967295u},
      ScreenFrameMeta{std::numeric_limits<std::uint64_t>::max(), 1280, 720, VideoCodec::h264, true,
                      5, std::numeric_limits<std::uint64_t>::max()},
      ScreenListDisplaysRequest{},
      DisplayListResult{{{1, "Built-in", 3024, 1964, true}, {7, "DP-1", 2560, 1440, false}}},
      MediaTicketRequest{},
      MediaTicketResult{std::string(64, 'a')},
      ClipboardGetRequest{},
      Payload::clipboardContent(ClipboardContent::makeImage(binary)),
      Payload::clipboardSet(ClipboardContent::makeFile("notes.txt", binary)),
      AuthBegin{"iPhone"},
      AuthChallenge{Bytes(32, 7)},
      AuthComplete{Bytes(32, 9)},
      PingRequest{},
      Ack{},
      ProtocolError{"bad_request", "decode failed: x"},
  };
}

TEST(PayloadRecordsTest, EveryMessageTypeRoundTripsThroughAnEnvelope) {
  std::set<MessageType> covered;
  for (const Payload& payload : everyPayload()) {
    covered.insert(payload.messageType());
    Envelope sent = Envelope::response(MessageID::generate(), payload);
    Bytes wire = sent.encode();
    auto received = Envelope::decode(wire);
    ASSERT_TRUE(received.ok()) << text(wire) << "\n" << received.error().description;
    EXPECT_EQ(*received, sent) << text(wire);
    EXPECT_THAT(text(wire),
                HasSubstr(R"("type":")" + std::string(rawValue(payload.messageType()))));
  }
  EXPECT_EQ(covered.size(), kMessageTypeCount);
}

TEST(PayloadRecordsTest, OptionalFieldsAreOmittedWhenAbsentAndKeysFollowFieldOrder) {
  struct Case {
    Payload payload;
    std::string data;
  };
  const Case cases[] = {
      {CaptureFrameRequest{CaptureMode::stopStream, {}, {}, {}, {}}, R"({"mode":"stopStream"})"},
      {MouseClickCommand{std::nullopt, MouseButton::left}, R"({"button":"left"})"},
      {FileDownloadRequest{"/f", 0, std::nullopt}, R"({"path":"\/f","offset":0})"},
      {FileListResult{"/",
                      {{"a", "/a", false, 1, std::nullopt}, {"b", "/b", false, 2, 1700000000}}},
       R"({"path":"\/","entries":[{"name":"a","path":"\/a","isDirectory":false,"size":1},)"
       R"({"name":"b","path":"\/b","isDirectory":false,"size":2,"modified":1700000000}]})"},
      {TerminalOpenRequest{std::nullopt, 80, 24}, R"({"cols":80,"rows":24})"},
      // Whole numbers carry no fraction (fractions round-trip, in whatever exponent form).
      {DragCommand{{0, 1}, {1, -2}, MouseButton::left},
       R"({"from":{"x":0,"y":1},"to":{"x":1,"y":-2},"button":"left"})"},
      {Payload::clipboardContent(ClipboardContent::makeEmpty()), R"({"kind":"empty"})"},
      {Payload::clipboardSet(ClipboardContent::makeText("")), R"({"kind":"text","text":""})"},
      {AuthChallenge{{0xfb, 0xff}}, R"({"nonce":"+\/8="})"},
  };
  for (const auto& c : cases) {
    std::string json = text(Envelope::request(c.payload, MessageID("I")).encode());
    EXPECT_THAT(json, HasSubstr(R"("data":)" + c.data + "}}")) << json;
  }
}

// Decodes `data` as the record of message type `type`.
DecodeResult<Envelope> decodeData(const std::string& type, const std::string& data) {
  return Envelope::decode(R"({"version":1,"id":"I","payload":{"type":")" + type + R"(","data":)" +
                          data + "}}");
}

// Integers must fit their field's width and sign; enumerations, required fields and text are
// checked too. Where the description says which field failed, it is checked.
TEST(PayloadRecordsTest, RecordsThatDoNotFitTheirFieldsAreRefused) {
  struct Case {
    std::string type;
    std::string data;
    std::string mentions;
  };
  const Case rejected[] = {
      {"input.key", R"({"keyCode":70000,"action":"press"})", "keyCode: 70000 does not fit"},
      {"terminal.open", R"({"cols":65536,"rows":24})", "cols"},
      {"screen.capture_frame", R"({"mode":"startStream","displayID":4294967296})", "displayID"},
      {"file.list.result",
       R"({"path":"/","entries":[{"name":"a","path":"/a","isDirectory":false,"size":1.5}]})",
       "entries[0].size"},
      {"terminal.exit", R"({"sessionId":"S","exitCode":2147483648})", "exitCode"},
      {"screen.frame_meta",
       R"({"frameID":18446744073709551616,"width":1,"height":1,"codec":"h264","isKeyframe":true,"byteCount":0,"presentationTimeMillis":0})",
       "frameID"},
      {"input.key", R"({"keyCode":"12","action":"press"})", "keyCode"},
      {"input.click", R"({"button":"Left"})", ""},
      {"input.key", R"({"keyCode":1,"action":"hold"})", ""},
      {"input.mouse_button", R"({"button":"left"})", ""},
      {"input.mouse_button", R"({"button":"left","down":null})", ""},
      {"clipboard.set", R"({"kind":"html"})", ""},
      {"input.mouse_move", R"({"position":{"x":0.5}})", ""},
      {"auth.complete", R"({"mac":"not base64!"})", ""},
      {"input.click", R"({"button":"left\u0000x"})", ""},
  };
  for (const auto& c : rejected) {
    auto decoded = decodeData(c.type, c.data);
    ASSERT_FALSE(decoded.ok()) << c.type << " " << c.data;
    EXPECT_THAT(decoded.error().description, HasSubstr(c.mentions));
  }

  // A whole number written with a fraction or exponent is still that number; a null optional
  // is an absent one.
  auto whole = decodeData("input.key", R"({"keyCode":1e2,"action":"up"})");
  ASSERT_TRUE(whole.ok()) << whole.error().description;
  EXPECT_EQ(whole->payload.get<MessageType::inputKey>()->keyCode, 100);
  auto click = decodeData("input.click", R"({"button":"middle","position":null})");
  ASSERT_TRUE(click.ok());
  EXPECT_EQ(*click->payload.get<MessageType::inputClick>(),
            (MouseClickCommand{std::nullopt, MouseButton::middle}));
}

}  // namespace
}  // namespace lumora::protocol
