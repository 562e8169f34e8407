#pragma once

#include <boost/describe/class.hpp>
#include <boost/describe/enum.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumora::protocol {

BOOST_DEFINE_ENUM_CLASS(MouseButton, left, right, middle)
BOOST_DEFINE_ENUM_CLASS(KeyAction, down, up, press)
BOOST_DEFINE_ENUM_CLASS(CaptureMode, single, startStream, stopStream)
BOOST_DEFINE_ENUM_CLASS(VideoCodec, h264, hevc, raw)

// A position on the active display as fractions: (0,0) top-left, (1,1) bottom-right. Values
// outside 0...1 are legal on the wire; the agent clamps them.
struct Point {
  double x = 0;
  double y = 0;
  bool operator==(const Point&) const = default;
};
BOOST_DESCRIBE_STRUCT(Point, (), (x, y))

struct MouseMoveCommand {
  Point position;
  bool operator==(const MouseMoveCommand&) const = default;
};
BOOST_DESCRIBE_STRUCT(MouseMoveCommand, (), (position))

// Relative motion in screen points; positive y is downwards.
struct MouseMoveByCommand {
  double deltaX = 0;
  double deltaY = 0;
  bool operator==(const MouseMoveByCommand&) const = default;
};
BOOST_DESCRIBE_STRUCT(MouseMoveByCommand, (), (deltaX, deltaY))

// Without a position the click happens where the pointer is.
struct MouseClickCommand {
  std::optional<Point> position;
  MouseButton button = MouseButton::left;
  bool operator==(const MouseClickCommand&) const = default;
};
BOOST_DESCRIBE_STRUCT(MouseClickCommand, (), (position, button))

struct MouseButtonCommand {
  std::optional<Point> position;
  MouseButton button = MouseButton::left;
  bool down = false;
  bool operator==(const MouseButtonCommand&) const = default;
};
BOOST_DESCRIBE_STRUCT(MouseButtonCommand, (), (position, button, down))

// keyCode is a macOS virtual key code, whatever the agent's platform.
struct KeyCommand {
  std::uint16_t keyCode = 0;
  KeyAction action = KeyAction::press;
  bool operator==(const KeyCommand&) const = default;
};
BOOST_DESCRIBE_STRUCT(KeyCommand, (), (keyCode, action))

struct TypeTextCommand {
  std::string text;
  bool operator==(const TypeTextCommand&) const = default;
};
BOOST_DESCRIBE_STRUCT(TypeTextCommand, (), (text))

// Scroll amounts in pixel units.
struct ScrollCommand {
  double deltaX = 0;
  double deltaY = 0;
  bool operator==(const ScrollCommand&) const = default;
};
BOOST_DESCRIBE_STRUCT(ScrollCommand, (), (deltaX, deltaY))

struct DragCommand {
  Point from;
  Point to;
  MouseButton button = MouseButton::left;
  bool operator==(const DragCommand&) const = default;
};
BOOST_DESCRIBE_STRUCT(DragCommand, (), (from, to, button))

struct CaptureFrameRequest {
  CaptureMode mode = CaptureMode::startStream;
  std::optional<std::int64_t> maxWidth;
  std::optional<std::int64_t> maxHeight;
  std::optional<VideoCodec> codec;
  std::optional<std::uint32_t> displayID;
  bool operator==(const CaptureFrameRequest&) const = default;
};
BOOST_DESCRIBE_STRUCT(CaptureFrameRequest, (), (mode, maxWidth, maxHeight, codec, displayID))

struct ScreenListDisplaysRequest {
  bool operator==(const ScreenListDisplaysRequest&) const = default;
};
BOOST_DESCRIBE_STRUCT(ScreenListDisplaysRequest, (), ())

struct DisplayInfo {
  std::uint32_t id = 0;
  std::string name;
  std::int64_t width = 0;
  std::int64_t height = 0;
  bool isMain = false;
  bool operator==(const DisplayInfo&) const = default;
};
BOOST_DESCRIBE_STRUCT(DisplayInfo, (), (id, name, width, height, isMain))

struct DisplayListResult {
  std::vector<DisplayInfo> displays;
  bool operator==(const DisplayListResult&) const = default;
};
BOOST_DESCRIBE_STRUCT(DisplayListResult, (), (displays))

// Describes one encoded video frame; also the header of every media frame.
struct ScreenFrameMeta {
  std::uint64_t frameID = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;
  VideoCodec codec = VideoCodec::h264;
  bool isKeyframe = false;
  std::int64_t byteCount = 0;
  std::uint64_t presentationTimeMillis = 0;
  bool operator==(const ScreenFrameMeta&) const = default;
};
BOOST_DESCRIBE_STRUCT(ScreenFrameMeta, (),
                      (frameID, width, height, codec, isKeyframe, byteCount,
                       presentationTimeMillis))

struct MediaTicketRequest {
  bool operator==(const MediaTicketRequest&) const = default;
};
BOOST_DESCRIBE_STRUCT(MediaTicketRequest, (), ())

// A one-time ticket for the media channel: 64 lower-case hex characters.
struct MediaTicketResult {
  std::string token;
  bool operator==(const MediaTicketResult&) const = default;
};
BOOST_DESCRIBE_STRUCT(MediaTicketResult, (), (token))

}  // namespace lumora::protocol
