// SPDX-License-Identifier: MIT
// Text forms of the settings and the event-mask mapping.
#include <array>
#include <cctype>
#include <climits>

#include "device/winconst.h"

using namespace serivox::device;  // the device constants (EV_, CE_, MS_, PURGE_)
#include "types.h"

namespace {

constexpr std::array<const char*, kBaudRateCount> kBaudTexts = {
    "Custom", "110",   "300",   "600",   "1200",   "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<int, kBaudRateCount> kBaudRates = {
    0, 110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
constexpr std::array<const char*, 3> kStopTexts = {"1", "1.5", "2"};
constexpr std::array<const char*, 4> kDataTexts = {"5", "6", "7", "8"};
constexpr std::array<const char*, 5> kParityTexts = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<const char*, 4> kFlowTexts = {"Hardware", "Software", "None", "Custom"};
constexpr std::array<const char*, 3> kDtrTexts = {"Disable", "Enable", "Handshake"};
constexpr std::array<const char*, 4> kRtsTexts = {"Disable", "Enable", "Handshake", "Toggle"};

// Event ordinal -> EV_ bit.
constexpr std::array<uint32_t, 10> kEventBits = {EV_RXCHAR, EV_TXEMPTY, EV_RXFLAG, EV_RING, EV_BREAK,
                                                 EV_CTS,    EV_DSR,     EV_ERR,    EV_RLSD, EV_RX80FULL};

std::string AsciiUpper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// The first form equal to the text without regard to ASCII letter case, else the default.
template <typename E, size_t N>
E FromText(const std::array<const char*, N>& forms, const std::string& text, E fallback) {
  const std::string wanted = AsciiUpper(text);
  for (size_t i = 0; i < N; ++i)
    if (AsciiUpper(forms[i]) == wanted) return static_cast<E>(i);
  return fallback;
}

template <size_t N>
std::string ToText(const std::array<const char*, N>& forms, unsigned ordinal) {
  return ordinal < N ? forms[ordinal] : std::string();
}

}  // namespace

int BaudRateToInt(TBaudRate rate) { return rate < kBaudRateCount ? kBaudRates[rate] : 0; }

uint32_t EventSetToMask(TComEvents events) {
  uint32_t mask = 0;
  for (unsigned i = 0; i < kEventBits.size(); ++i)
    if (events.Contains(static_cast<TComEvent>(i))) mask |= kEventBits[i];
  return mask;
}

TComEvents MaskToEventSet(uint32_t mask) {
  TComEvents events;
  for (unsigned i = 0; i < kEventBits.size(); ++i)
    if (mask & kEventBits[i]) events += static_cast<TComEvent>(i);
  return events;
}

std::string BaudRateToText(TBaudRate v) { return ToText(kBaudTexts, v); }
TBaudRate BaudRateFromText(const std::string& s) { return FromText(kBaudTexts, s, br9600); }
std::string StopBitsToText(TStopBits v) { return ToText(kStopTexts, v); }
TStopBits StopBitsFromText(const std::string& s) { return FromText(kStopTexts, s, sbOneStopBit); }
std::string DataBitsToText(TDataBits v) { return ToText(kDataTexts, v); }
TDataBits DataBitsFromText(const std::string& s) { return FromText(kDataTexts, s, dbEight); }
std::string ParityToText(TParityBits v) { return ToText(kParityTexts, v); }
TParityBits ParityFromText(const std::string& s) { return FromText(kParityTexts, s, prNone); }
std::string FlowControlToText(TFlowControl v) { return ToText(kFlowTexts, v); }
TFlowControl FlowControlFromText(const std::string& s) { return FromText(kFlowTexts, s, fcCustom); }
std::string DTRControlToText(TDTRFlowControl v) { return ToText(kDtrTexts, v); }
TDTRFlowControl DTRControlFromText(const std::string& s) { return FromText(kDtrTexts, s, dtrDisable); }
std::string RTSControlToText(TRTSFlowControl v) { return ToText(kRtsTexts, v); }
TRTSFlowControl RTSControlFromText(const std::string& s) { return FromText(kRtsTexts, s, rtsDisable); }

std::string BoolToText(bool v) { return v ? "Yes" : "No"; }
bool BoolFromText(const std::string& s) { return AsciiUpper(s) == "YES"; }

std::string CharToText(uint8_t c) {
  if (c >= 33 && c <= 127) return std::string(1, static_cast<char>(c));
  return "#" + std::to_string(c);
}

uint8_t CharFromText(const std::string& s) {
  if (s.empty()) return 0;
  if (s[0] != '#' || s.size() == 1) return static_cast<uint8_t>(s[0]);
  int32_t v = 0;
  if (!TextToInt(s.substr(1), v)) return 0;
  return static_cast<uint8_t>(v & 0xFF);
}

bool TextToInt(const std::string& s, int32_t& out) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  bool hex = false;
  if (i < s.size() && s[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= s.size()) return false;
  uint64_t value = 0;
  for (; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    unsigned digit;
    if (std::isdigit(c)) digit = c - '0';
    else if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return false;
    value = value * (hex ? 16 : 10) + digit;
    // Hexadecimal takes the 32-bit pattern ($FFFFFFFF is -1); decimal must fit.
    if (hex ? value > 0xFFFFFFFFull : value > (negative ? 2147483648ull : 2147483647ull)) return false;
  }
  const uint32_t bits = static_cast<uint32_t>(value);
  out = static_cast<int32_t>(negative ? 0u - bits : bits);
  return true;
}
