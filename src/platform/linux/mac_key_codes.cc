#include "platform/linux/mac_key_codes.h"

#include <xkbcommon/xkbcommon-keysyms.h>

#include <array>

namespace lumora::platform::linux_os {
namespace {

constexpr std::size_t kCodeCount = 0x80;

// Indexed by the virtual key code; 0 marks a code without a key. The layout is the ANSI
// keyboard's (the codes are positions, not characters).
constexpr std::array<std::uint32_t, kCodeCount> buildTable() {
  std::array<std::uint32_t, kCodeCount> t{};
  t[0x00] = XKB_KEY_a;
  t[0x01] = XKB_KEY_s;
  t[0x02] = XKB_KEY_d;
  t[0x03] = XKB_KEY_f;
  t[0x04] = XKB_KEY_h;
  t[0x05] = XKB_KEY_g;
  t[0x06] = XKB_KEY_z;
  t[0x07] = XKB_KEY_x;
  t[0x08] = XKB_KEY_c;
  t[0x09] = XKB_KEY_v;
  t[0x0A] = XKB_KEY_section;  // the ISO key left of 1
  t[0x0B] = XKB_KEY_b;
  t[0x0C] = XKB_KEY_q;
  t[0x0D] = XKB_KEY_w;
  t[0x0E] = XKB_KEY_e;
  t[0x0F] = XKB_KEY_r;
  t[0x10] = XKB_KEY_y;
  t[0x11] = XKB_KEY_t;
  t[0x12] = XKB_KEY_1;
  t[0x13] = XKB_KEY_2;
  t[0x14] = XKB_KEY_3;
  t[0x15] = XKB_KEY_4;
  t[0x16] = XKB_KEY_6;
  t[0x17] = XKB_KEY_5;
  t[0x18] = XKB_KEY_equal;
  t[0x19] = XKB_KEY_9;
  t[0x1A] = XKB_KEY_7;
  t[0x1B] = XKB_KEY_minus;
  t[0x1C] = XKB_KEY_8;
  t[0x1D] = XKB_KEY_0;
  t[0x1E] = XKB_KEY_bracketright;
  t[0x1F] = XKB_KEY_o;
  t[0x20] = XKB_KEY_u;
  t[0x21] = XKB_KEY_bracketleft;
  t[0x22] = XKB_KEY_i;
  t[0x23] = XKB_KEY_p;
  t[0x24] = XKB_KEY_Return;
  t[0x25] = XKB_KEY_l;
  t[0x26] = XKB_KEY_j;
  t[0x27] = XKB_KEY_apostrophe;
  t[0x28] = XKB_KEY_k;
  t[0x29] = XKB_KEY_semicolon;
  t[0x2A] = XKB_KEY_backslash;
  t[0x2B] = XKB_KEY_comma;
  t[0x2C] = XKB_KEY_slash;
  t[0x2D] = XKB_KEY_n;
  t[0x2E] = XKB_KEY_m;
  t[0x2F] = XKB_KEY_period;
  t[0x30] = XKB_KEY_Tab;
  t[0x31] = XKB_KEY_space;
  t[0x32] = XKB_KEY_grave;
  t[0x33] = XKB_KEY_BackSpace;
  t[0x34] = XKB_KEY_KP_Enter;  // the Enter key of older laptops
  t[0x35] = XKB_KEY_Escape;
  t[0x36] = XKB_KEY_Super_R;  // right Command
  t[0x37] = XKB_KEY_Super_L;  // Command
  t[0x38] = XKB_KEY_Shift_L;
  t[0x39] = XKB_KEY_Caps_Lock;
  t[0x3A] = XKB_KEY_Alt_L;  // Option
  t[0x3B] = XKB_KEY_Control_L;
  t[0x3C] = XKB_KEY_Shift_R;
  t[0x3D] = XKB_KEY_Alt_R;  // right Option
  t[0x3E] = XKB_KEY_Control_R;
  t[0x3F] = XKB_KEY_XF86Fn;
  t[0x40] = XKB_KEY_F17;
  t[0x41] = XKB_KEY_KP_Decimal;
  t[0x43] = XKB_KEY_KP_Multiply;
  t[0x45] = XKB_KEY_KP_Add;
  t[0x47] = XKB_KEY_Num_Lock;  // keypad Clear sits where Num Lock does
  t[0x48] = XKB_KEY_XF86AudioRaiseVolume;
  t[0x49] = XKB_KEY_XF86AudioLowerVolume;
  t[0x4A] = XKB_KEY_XF86AudioMute;
  t[0x4B] = XKB_KEY_KP_Divide;
  t[0x4C] = XKB_KEY_KP_Enter;
  t[0x4E] = XKB_KEY_KP_Subtract;
  t[0x4F] = XKB_KEY_F18;
  t[0x50] = XKB_KEY_F19;
  t[0x51] = XKB_KEY_KP_Equal;
  t[0x52] = XKB_KEY_KP_0;
  t[0x53] = XKB_KEY_KP_1;
  t[0x54] = XKB_KEY_KP_2;
  t[0x55] = XKB_KEY_KP_3;
  t[0x56] = XKB_KEY_KP_4;
  t[0x57] = XKB_KEY_KP_5;
  t[0x58] = XKB_KEY_KP_6;
  t[0x59] = XKB_KEY_KP_7;
  t[0x5A] = XKB_KEY_F20;
  t[0x5B] = XKB_KEY_KP_8;
  t[0x5C] = XKB_KEY_KP_9;
  t[0x5D] = XKB_KEY_yen;           // JIS ¥
  t[0x5E] = XKB_KEY_underscore;    // JIS _
  t[0x5F] = XKB_KEY_KP_Separator;  // JIS keypad comma
  t[0x60] = XKB_KEY_F5;
  t[0x61] = XKB_KEY_F6;
  t[0x62] = XKB_KEY_F7;
  t[0x63] = XKB_KEY_F3;
  t[0x64] = XKB_KEY_F8;
  t[0x65] = XKB_KEY_F9;
  t[0x66] = XKB_KEY_Eisu_toggle;  // JIS 英数
  t[0x67] = XKB_KEY_F11;
  t[0x68] = XKB_KEY_Hiragana_Katakana;  // JIS かな
  t[0x69] = XKB_KEY_F13;
  t[0x6A] = XKB_KEY_F16;
  t[0x6B] = XKB_KEY_F14;
  t[0x6D] = XKB_KEY_F10;
  t[0x6E] = XKB_KEY_Menu;
  t[0x6F] = XKB_KEY_F12;
  t[0x71] = XKB_KEY_F15;
  t[0x72] = XKB_KEY_Insert;  // Help sits where Insert does
  t[0x73] = XKB_KEY_Home;
  t[0x74] = XKB_KEY_Prior;
  t[0x75] = XKB_KEY_Delete;
  t[0x76] = XKB_KEY_F4;
  t[0x77] = XKB_KEY_End;
  t[0x78] = XKB_KEY_F2;
  t[0x79] = XKB_KEY_Next;
  t[0x7A] = XKB_KEY_F1;
  t[0x7B] = XKB_KEY_Left;
  t[0x7C] = XKB_KEY_Right;
  t[0x7D] = XKB_KEY_Down;
  t[0x7E] = XKB_KEY_Up;
  return t;
}

constexpr auto kTable = buildTable();

}  // namespace

std::optional<std::uint32_t> keysymForMacKeyCode(std::uint16_t keyCode, CommandKey command) {
  if (keyCode >= kCodeCount || kTable[keyCode] == 0) return std::nullopt;
  if (command == CommandKey::control && kTable[keyCode] == XKB_KEY_Super_L)
    return XKB_KEY_Control_L;
  if (command == CommandKey::control && kTable[keyCode] == XKB_KEY_Super_R)
    return XKB_KEY_Control_R;
  return kTable[keyCode];
}

}  // namespace lumora::platform::linux_os
