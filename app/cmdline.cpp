// SPDX-License-Identifier: MIT
// The command line, parsed before any window opens and applied to the first
// window after it has loaded its settings.
#include "cmdline.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>

#include "capture.h"
#include "portname.h"
#include "errordisplay.h"
#include "framing.h"
#include "portctl.h"
#include "serivox.h"
#include "ui_serivox.h"

namespace {

// Rates the termios layer can set: from the slowest standard rate to the
// fastest rate any common UART driver accepts.
constexpr int32_t kMinBaud = 50;
constexpr int32_t kMaxBaud = 12000000;

// Qt's own options (QGuiApplication, QApplication and the X11 platform read
// them, with one dash or two): passed to QApplication untouched, skipped here.
const QStringList kQtOptionsWithValue = {
    "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "geometry", "qwindowtitle",
    "title", "qwindowicon", "icon", "session", "display", "name", "style", "stylesheet"};
const QStringList kQtSwitches = {"reverse", "testability", "sync", "widgetcount", "qdevel", "qdebug"};
const QStringList kQtAssignments = {"style=", "stylesheet=", "qmljsdebugger="};

// `arguments` less Qt's own options and their values.
QStringList WithoutQtOptions(const QStringList& arguments) {
  QStringList ours;
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& argument = arguments[i];
    const QString name = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
    if (i == 0 || !argument.startsWith(QLatin1Char('-'))) {
      ours.append(argument);
    } else if (kQtOptionsWithValue.contains(name)) {
      ++i;
    } else if (!kQtSwitches.contains(name) &&
               std::none_of(kQtAssignments.begin(), kQtAssignments.end(),
                            [&](const QString& prefix) { return name.startsWith(prefix); })) {
      ours.append(argument);
    }
  }
  return ours;
}

// The enumerated rate for a standard number, else brCustom.
TBaudRate RateFor(int32_t baud) {
  for (int i = br110; i <= br256000; ++i)
    if (BaudRateToInt(static_cast<TBaudRate>(i)) == baud) return static_cast<TBaudRate>(i);
  return brCustom;
}

}  // namespace

CommandLine::Outcome CommandLine::Parse(const QStringList& arguments, CommandLine& options, QString& output) {
  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Serial port tester and terminal.\n"
                     "Qt's own options (-platform NAME, -style NAME, -reverse ...) are passed to Qt."));
  // Help and version are read before the framework starts, so Qt's own
  // --help-all, which lists the framework's options, is not offered.
  const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help and exit."));
  const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                   QStringLiteral("Show the version and exit."));
  const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Open the window on port NAME (COM1, ttyUSB0, /dev/ttyACM0, LOOPBACK...)."),
                                QStringLiteral("NAME"));
  const QCommandLineOption baud(QStringLiteral("baud"), QStringLiteral("Baud rate in bits per second."), QStringLiteral("RATE"));
  const QCommandLineOption flow(QStringLiteral("flow"), QStringLiteral("Flow control: none, hardware or software."),
                                QStringLiteral("MODE"));
  const QCommandLineOption dataBits(QStringLiteral("databits"), QStringLiteral("Data bits: 5, 6, 7 or 8."),
                                    QStringLiteral("N"));
  const QCommandLineOption parity(QStringLiteral("parity"), QStringLiteral("Parity: none, odd, even, mark or space."),
                                  QStringLiteral("PARITY"));
  const QCommandLineOption stopBits(QStringLiteral("stopbits"), QStringLiteral("Stop bits: 1, 1.5 or 2."),
                                    QStringLiteral("N"));
  const QCommandLineOption connect(QStringLiteral("connect"), QStringLiteral("Connect to the port at start."));
  const QCommandLineOption log(QStringLiteral("log"), QStringLiteral("Append every received byte to FILE."), QStringLiteral("FILE"));
  parser.addOptions({help, version, port, baud, flow, dataBits, parity, stopBits, connect, log});

  if (!parser.parse(WithoutQtOptions(arguments))) {
    output = parser.errorText();
    return ExitBad;
  }
  if (parser.isSet(help)) {
    // Without a running application Qt cannot name the program itself.
    output = parser.helpText().replace(QLatin1String("<executable_name>"), QLatin1String("serivox"));
    return ExitOk;
  }
  if (parser.isSet(version)) {
    output = QStringLiteral("Serivox " SERIVOX_VERSION "\n");
    return ExitOk;
  }
  if (!parser.positionalArguments().isEmpty()) {
    output = QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().first());
    return ExitBad;
  }
  // An option given twice would leave the user guessing which one counts.
  for (const QString& name : parser.optionNames()) {
    if (parser.optionNames().count(name) > 1) {
      output = QStringLiteral("Option '--%1' given more than once.").arg(name);
      return ExitBad;
    }
  }

  CommandLine result;
  if (parser.isSet(port)) {
    const QString name = parser.value(port);
    if (name.trimmed().isEmpty() || name.contains(QLatin1Char('\0'))) {
      output = QStringLiteral("Invalid port name '%1'.").arg(name);
      return ExitBad;
    }
    // On the command line a relative path means the current folder, not /dev.
    const std::string bytes = name.toStdString();
    result.port = name.contains(QLatin1Char('/')) && !name.startsWith(QLatin1Char('/')) &&
                          !serivox::IsNetworkPortName(bytes)
                      ? QDir::cleanPath(QDir::current().absoluteFilePath(name))
                      : name;
  }
  if (parser.isSet(baud)) {
    bool ok = false;
    const int32_t rate = parser.value(baud).toInt(&ok, 10);
    if (!ok || rate < kMinBaud || rate > kMaxBaud) {
      output = QStringLiteral("Invalid baud rate '%1': give a number from %2 to %3.")
                   .arg(parser.value(baud))
                   .arg(kMinBaud)
                   .arg(kMaxBaud);
      return ExitBad;
    }
    result.baud = rate;
  }
  if (parser.isSet(flow)) {
    const QString mode = parser.value(flow).toLower();
    if (mode != QLatin1String("none") && mode != QLatin1String("hardware") && mode != QLatin1String("software")) {
      output = QStringLiteral("Invalid flow control '%1': give none, hardware or software.").arg(parser.value(flow));
      return ExitBad;
    }
    result.flow = mode;
  }
  if (parser.isSet(dataBits)) {
    const QString n = parser.value(dataBits);
    static const QStringList kBits = {"5", "6", "7", "8"};
    if (!kBits.contains(n)) {
      output = QStringLiteral("Invalid data bits '%1': give 5, 6, 7 or 8.").arg(n);
      return ExitBad;
    }
    result.dataBits = TDataBits(kBits.indexOf(n));
  }
  if (parser.isSet(parity)) {
    static const QStringList kParities = {"none", "odd", "even", "mark", "space"};
    const qsizetype i = kParities.indexOf(parser.value(parity).toLower());
    if (i < 0) {
      output = QStringLiteral("Invalid parity '%1': give none, odd, even, mark or space.").arg(parser.value(parity));
      return ExitBad;
    }
    result.parity = TParityBits(i);
  }
  if (parser.isSet(stopBits)) {
    static const QStringList kStops = {"1", "1.5", "2"};
    const qsizetype i = kStops.indexOf(parser.value(stopBits));
    if (i < 0) {
      output = QStringLiteral("Invalid stop bits '%1': give 1, 1.5 or 2.").arg(parser.value(stopBits));
      return ExitBad;
    }
    result.stopBits = TStopBits(i);
  }
  result.connect = parser.isSet(connect);
  if (parser.isSet(log)) {
    const QString file = parser.value(log);
    // Opened here once so that a file that cannot be written is refused
    // before the window opens; the capture appends, so nothing is lost.
    QFile probe(file);
    if (file.isEmpty() || QFileInfo(file).isDir() || !probe.open(QIODevice::WriteOnly | QIODevice::Append)) {
      output = QStringLiteral("Cannot write the log file '%1': %2.")
                   .arg(file, file.isEmpty() || QFileInfo(file).isDir() ? QStringLiteral("not a file") : probe.errorString());
      return ExitBad;
    }
    result.log = file;
  }
  options = result;
  return Run;
}

void CommandLine::ApplyTo(TSerivox& window) const {
  TComPort& port = *window.ComPort;
  Guarded([&] {
    if (this->port) {
      // "ttyUSB0" is listed by the port selector as "/dev/ttyUSB0".
      QString name = *this->port;
      if (!name.startsWith(QLatin1Char('/')) && QFileInfo::exists(QStringLiteral("/dev/") + name))
        name.prepend(QStringLiteral("/dev/"));
      port.SetPort(name.toStdString());
    }
    if (baud) {
      const TBaudRate rate = RateFor(*baud);
      if (rate == brCustom) port.SetCustomBaudRate(*baud);
      port.SetBaudRate(rate);
    }
    if (flow) {
      const TFlowControl mode = *flow == QLatin1String("hardware")   ? fcHardware
                                : *flow == QLatin1String("software") ? fcSoftware
                                                                     : fcNone;
      port.FlowControl().SetFlowControl(mode);
    }
    if (dataBits || parity || stopBits) {
      LineFraming framing = FramingOf(port);
      if (dataBits) framing.dataBits = *dataBits;
      if (parity) framing.parity = *parity;
      if (stopBits) framing.stopBits = *stopBits;
      ApplyFraming(port, framing);
    }
    // The selectors show what the port now holds.
    for (TComComboBox* box : {window.ui->ComComboBox1, window.ui->ComComboBox2, window.ui->ComComboBox3}) {
      box->SetComPort(nullptr);
      box->SetComPort(&port);
    }
  });
  window.ShowLineSetting();
  if (!log.isEmpty()) Guarded([&] { window.Capture->Start(log); });
  if (connect) Guarded([&] { port.SetConnected(true); });
}
