// SPDX-License-Identifier: MIT
// The program's command line: the first window's port and start-up state.
//
//   serivox [--port NAME] [--baud RATE] [--flow none|hardware|software]
//           [--databits 5|6|7|8] [--parity none|odd|even|mark|space]
//           [--stopbits 1|1.5|2] [--connect] [--log FILE] [--help] [--version]
//
// A port name with a slash that does not begin with "/" (pty/a, ./pty/a) is
// a path relative to the current folder.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

#include "types.h"

class TSerivox;

struct CommandLine {
  std::optional<QString> port;
  std::optional<int32_t> baud;  // bits per second
  std::optional<QString> flow;  // "none", "hardware" or "software"
  std::optional<TDataBits> dataBits;
  std::optional<TParityBits> parity;
  std::optional<TStopBits> stopBits;
  bool connect = false;
  QString log;  // capture file, empty for none

  // What main does after parsing.
  enum Outcome { Run, ExitOk, ExitBad };
  // Parses `arguments` (argv, program name first). On ExitOk `output` holds
  // the help or version text for stdout; on ExitBad the message for stderr.
  static Outcome Parse(const QStringList& arguments, CommandLine& options, QString& output);
  // Applies the options to a shown window as if its user had chosen them:
  // port, baud rate and flow control into the port and its selectors, then
  // the capture and the connect. Errors go to the error display.
  void ApplyTo(TSerivox& window) const;
};

// The exit status of a refused command line.
constexpr int kBadCommandLine = 2;
