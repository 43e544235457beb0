// SPDX-License-Identifier: MIT
// Enumerations, sets and text forms of the port's settings.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

// A set of enumeration members, one bit per ordinal.
template <typename E, typename Bits>
class TSet {
 public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> members) {
    for (E e : members) bits_ |= bit(e);
  }
  static constexpr TSet FromBits(Bits bits) {
    TSet s;
    s.bits_ = bits;
    return s;
  }
  constexpr Bits Raw() const { return bits_; }
  constexpr bool Contains(E e) const { return (bits_ & bit(e)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr TSet& operator+=(E e) {
    bits_ |= bit(e);
    return *this;
  }
  constexpr TSet& operator-=(E e) {
    bits_ &= static_cast<Bits>(~bit(e));
    return *this;
  }
  friend constexpr bool operator==(TSet a, TSet b) { return a.bits_ == b.bits_; }

 private:
  static constexpr Bits bit(E e) { return static_cast<Bits>(Bits{1} << static_cast<unsigned>(e)); }
  Bits bits_ = 0;
};

enum TBaudRate : uint8_t {
  brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400,
  br19200, br38400, br56000, br57600, br115200, br128000, br256000
};
constexpr int kBaudRateCount = 16;

// 1.5 stop bits exist on Linux only with 5 data bits (CSTOPB gives 1.5 there);
// with more data bits the device uses 2.
enum TStopBits : uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits : uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : uint8_t { prNone, prOdd, prEven, prMark, prSpace };
// DTR handshake does not exist on Linux: the setting is kept and drives nothing.
enum TDTRFlowControl : uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl : uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };

enum TComEvent : uint8_t {
  evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full
};
using TComEvents = TSet<TComEvent, uint16_t>;
constexpr TComEvents kAllComEvents{evRxChar, evTxEmpty, evRxFlag, evRing, evBreak,
                                   evCTS,    evDSR,     evError,  evRLSD, evRx80Full};

enum TSyncMethod : uint8_t { smThreadSync, smWindowSync, smNone };

enum TSettingsGroup : uint8_t {
  grBasic, grFlowDetails, grBuffer, grTimeouts, grParityDetails, grEventOptions
};
using TSettingsGroups = TSet<TSettingsGroup, uint8_t>;

enum TComSignal : uint8_t { sgCTS, sgDSR, sgRing, sgRLSD };
using TComSignals = TSet<TComSignal, uint8_t>;

enum TComError : uint8_t {
  errFrame, errRxParity, errOverrun, errBreak, errIO, errMode, errRxOver, errTxFull
};
using TComErrors = TSet<TComError, uint8_t>;

// Bits per second for a table rate; brCustom gives 0 (the port uses CustomBaudRate).
int BaudRateToInt(TBaudRate rate);

// Event set <-> device event mask (EV_ bits).
uint32_t EventSetToMask(TComEvents events);
TComEvents MaskToEventSet(uint32_t mask);

// Text forms. The FromText functions never fail: a text that matches no form
// gives the default (br9600, sbOneStopBit, dbEight, prNone, fcCustom,
// dtrDisable, rtsDisable, false). Letter case is ignored, nothing is trimmed.
std::string BaudRateToText(TBaudRate v);
TBaudRate BaudRateFromText(const std::string& s);
std::string StopBitsToText(TStopBits v);
TStopBits StopBitsFromText(const std::string& s);
std::string DataBitsToText(TDataBits v);
TDataBits DataBitsFromText(const std::string& s);
std::string ParityToText(TParityBits v);
TParityBits ParityFromText(const std::string& s);
std::string FlowControlToText(TFlowControl v);
TFlowControl FlowControlFromText(const std::string& s);
std::string DTRControlToText(TDTRFlowControl v);
TDTRFlowControl DTRControlFromText(const std::string& s);
std::string RTSControlToText(TRTSFlowControl v);
TRTSFlowControl RTSControlFromText(const std::string& s);
std::string BoolToText(bool v);
bool BoolFromText(const std::string& s);
// 33..127 as themselves, every other code as "#" and its decimal number.
std::string CharToText(uint8_t c);
uint8_t CharFromText(const std::string& s);

// Integer parsing of the settings forms: decimal with optional leading blanks
// and sign, or hexadecimal after "$", "0x" or "0X". Returns false when the text
// is not a whole number that fits in 32 bits.
bool TextToInt(const std::string& s, int32_t& out);
