// SPDX-License-Identifier: MIT
// The client side of Telnet with the COM port control option (RFC 854, 856,
// 858, 2217) over a raw byte stream, as a state machine without I/O: the
// caller hands it what the connection received and sends what it returns.
//
// Each answer of the server is kept under the command it answers (the code
// the server sends is the client's code + 100), and the four kinds of
// SET-CONTROL request (outbound flow control, break, DTR, RTS) apart by
// their value ranges. An answer thus never lands on another request: a
// server that acknowledges the state masks, or leaves a DTR request
// unanswered, changes nothing about the answers to the line settings.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace serivox::device {

class Rfc2217 {
 public:
  // Client command codes.
  enum Command : uint8_t {
    kSetBaud = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kSetControl = 5,
    kSetLinestateMask = 10,
    kSetModemstateMask = 11,
  };
  // SET-CONTROL values (RFC 2217).
  enum Control : uint8_t {
    kFlowNone = 1,
    kFlowXonXoff = 2,
    kFlowHardware = 3,
    kBreakOn = 5,
    kBreakOff = 6,
    kDtrOn = 8,
    kDtrOff = 9,
    kRtsOn = 11,
    kRtsOff = 12,
  };
  // The answers kept apart: the four line settings and the SET-CONTROL kinds.
  enum Topic { kBaud, kDataSize, kParity, kStopSize, kFlow, kBreak, kDtr, kRts, kTopics };
  struct Answer {
    uint64_t count = 0;  // answers received so far
    uint32_t value = 0;  // the last one
  };
  enum class Option { Pending, Agreed, Refused };

  // What the client sends first: it offers COM-PORT-OPTION and binary
  // transmission and suppress-go-ahead in both directions.
  static std::string Greeting();
  // Serial data as Telnet carries them: each 0xFF doubled, appended to `out`.
  static void Escape(const uint8_t* data, size_t n, std::string& out);
  // A request: SET-BAUDRATE carries four bytes, every other command one.
  static std::string Request(Command command, uint32_t value);
  // The topic a SET-CONTROL value belongs to, or kTopics for none of them.
  static Topic ControlTopic(uint32_t value);

  // Takes received bytes: serial data go to `data`, the replies the
  // negotiation needs to `reply` (to be sent ahead of further data).
  void Receive(const uint8_t* in, size_t n, std::string& data, std::string& reply);

  Option option() const { return option_; }
  const Answer& answer(Topic topic) const { return answers_[topic]; }
  // The server asked to hold the data it is sent (FLOWCONTROL-SUSPEND).
  bool suspended() const { return suspended_; }
  // Notifications since the last call: NOTIFY-MODEMSTATE carries the
  // Windows MS_ bits and their change bits, NOTIFY-LINESTATE the line errors
  // and break. False when none came.
  bool takeModemState(uint8_t& state);
  bool takeLineState(uint8_t& state);

 private:
  void option(uint8_t verb, uint8_t code, std::string& reply);
  void subnegotiation(std::string& reply);

  enum class State { Data, Iac, Verb, Sub, SubIac } state_ = State::Data;
  uint8_t verb_ = 0;
  std::string sub_;  // the subnegotiation being read (bounded)
  Option option_ = Option::Pending;
  std::array<Answer, kTopics> answers_{};
  bool suspended_ = false;
  bool modemNew_ = false, lineNew_ = false;
  uint8_t modem_ = 0, line_ = 0;
};

}  // namespace serivox::device
