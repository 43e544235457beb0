// SPDX-License-Identifier: MIT
// Telnet with the COM port control option, client side. See rfc2217.h.
#include "rfc2217.h"

namespace serivox::device {

namespace {

constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240;
constexpr uint8_t kBinary = 0, kSuppressGoAhead = 3, kComPort = 44;
constexpr uint8_t kServerBase = 100;  // a server's answer: the client's code + 100
constexpr uint8_t kNotifyLinestate = 106, kNotifyModemstate = 107, kFlowSuspend = 108, kFlowResume = 109;
constexpr size_t kMaxSub = 64;  // longer subnegotiations (a long signature) are skipped

std::string Iac(uint8_t verb, uint8_t option) { return {char(kIac), char(verb), char(option)}; }

}  // namespace

std::string Rfc2217::Greeting() {
  return Iac(kWill, kComPort) + Iac(kWill, kBinary) + Iac(kDo, kBinary) + Iac(kWill, kSuppressGoAhead) +
         Iac(kDo, kSuppressGoAhead);
}

void Rfc2217::Escape(const uint8_t* data, size_t n, std::string& out) {
  for (size_t i = 0; i < n; ++i) {
    out.push_back(static_cast<char>(data[i]));
    if (data[i] == kIac) out.push_back(static_cast<char>(kIac));
  }
}

std::string Rfc2217::Request(Command command, uint32_t value) {
  std::string out{char(kIac), char(kSb), char(kComPort), char(command)};
  const uint8_t bytes[4] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
  if (command == kSetBaud)
    Escape(bytes, 4, out);
  else
    Escape(bytes + 3, 1, out);
  out += {char(kIac), char(kSe)};
  return out;
}

Rfc2217::Topic Rfc2217::ControlTopic(uint32_t value) {
  if (value <= 3) return kFlow;  // 0 asks for the setting
  if (value <= 6) return kBreak;
  if (value <= 9) return kDtr;
  if (value <= 12) return kRts;
  return kTopics;
}

void Rfc2217::Receive(const uint8_t* in, size_t n, std::string& data, std::string& reply) {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = in[i];
    switch (state_) {
      case State::Data:
        if (b == kIac)
          state_ = State::Iac;
        else
          data.push_back(static_cast<char>(b));
        break;
      case State::Iac:
        if (b == kIac) {
          data.push_back(static_cast<char>(kIac));
          state_ = State::Data;
        } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
          verb_ = b;
          state_ = State::Verb;
        } else if (b == kSb) {
          sub_.clear();
          state_ = State::Sub;
        } else {
          state_ = State::Data;  // a command without an option (NOP, GA, ...)
        }
        break;
      case State::Verb:
        option(verb_, b, reply);
        state_ = State::Data;
        break;
      case State::Sub:
        if (b == kIac)
          state_ = State::SubIac;
        else if (sub_.size() <= kMaxSub)
          sub_.push_back(static_cast<char>(b));
        break;
      case State::SubIac:
        if (b == kSe) {
          subnegotiation(reply);
          state_ = State::Data;
        } else {
          // IAC IAC is a data byte of the subnegotiation; anything else is
          // taken as such too, as most clients do.
          if (sub_.size() <= kMaxSub) sub_.push_back(static_cast<char>(b));
          state_ = State::Sub;
        }
        break;
    }
  }
}

// The client wants COM-PORT-OPTION, binary and suppress-go-ahead, and offered
// them in the greeting: the server's agreement needs no reply. Everything
// else is refused once per request.
void Rfc2217::option(uint8_t verb, uint8_t code, std::string& reply) {
  const bool wanted = code == kBinary || code == kSuppressGoAhead;
  switch (verb) {
    case kDo:
      if (code == kComPort) {
        option_ = Option::Agreed;
      } else if (!wanted) {
        reply += Iac(kWont, code);
      }
      break;
    case kDont:
      if (code == kComPort) option_ = Option::Refused;
      break;
    case kWill:
      if (!wanted) reply += Iac(kDont, code);
      break;
    default:  // WONT: nothing to answer
      break;
  }
}

void Rfc2217::subnegotiation(std::string&) {
  if (sub_.size() < 2 || static_cast<uint8_t>(sub_[0]) != kComPort || sub_.size() > kMaxSub) return;
  const uint8_t code = static_cast<uint8_t>(sub_[1]);
  const auto* v = reinterpret_cast<const uint8_t*>(sub_.data()) + 2;
  const size_t len = sub_.size() - 2;
  auto note = [&](Topic topic, uint32_t value) {
    ++answers_[topic].count;
    answers_[topic].value = value;
  };
  switch (code) {
    case kServerBase + kSetBaud:
      if (len >= 4) note(kBaud, uint32_t{v[0]} << 24 | uint32_t{v[1]} << 16 | uint32_t{v[2]} << 8 | v[3]);
      break;
    case kServerBase + kSetDataSize:
      if (len >= 1) note(kDataSize, v[0]);
      break;
    case kServerBase + kSetParity:
      if (len >= 1) note(kParity, v[0]);
      break;
    case kServerBase + kSetStopSize:
      if (len >= 1) note(kStopSize, v[0]);
      break;
    case kServerBase + kSetControl:
      if (len >= 1 && ControlTopic(v[0]) != kTopics) note(ControlTopic(v[0]), v[0]);
      break;
    case kNotifyModemstate:
      if (len >= 1) {
        // Change bits not yet taken are kept.
        modem_ = static_cast<uint8_t>(v[0] | (modemNew_ ? modem_ & 0x0F : 0));
        modemNew_ = true;
      }
      break;
    case kNotifyLinestate:
      if (len >= 1) {
        line_ |= v[0];
        lineNew_ = true;
      }
      break;
    case kFlowSuspend:
      suspended_ = true;
      break;
    case kFlowResume:
      suspended_ = false;
      break;
    default:  // the masks' acknowledgments, signatures, purge answers
      break;
  }
}

bool Rfc2217::takeModemState(uint8_t& state) {
  if (!modemNew_) return false;
  modemNew_ = false;
  state = modem_;
  return true;
}

bool Rfc2217::takeLineState(uint8_t& state) {
  if (!lineNew_) return false;
  lineNew_ = false;
  state = line_;
  line_ = 0;
  return true;
}

}  // namespace serivox::device
