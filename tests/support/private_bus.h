#pragma once

#include <string>

namespace lumora::testing_support {

// A dbus-daemon configuration for a test's private session bus listening on `socket`: the
// session bus's usual policy without any service folder, so nothing is activated behind the
// test's back (a service the bus started would not be the test's child, and nobody would end
// it).
inline std::string privateBusConfig(const std::string& socket) {
  return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=)" +
         socket + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
}

}  // namespace lumora::testing_support
