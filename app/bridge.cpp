// SPDX-License-Identifier: MIT
// The virtual COM bridge: binding the bridge library and moving bytes
// between it and the window's port.
//
// Every window binds the library for itself when it is shown; the library is
// loaded once per process and never unloaded. The window registers its open
// port under the port's name, joins the peer the user names in ComboBox1,
// hands every typed key to the library and writes out of its port each byte
// the library delivers to it.
#include "bridge.h"

#include <dlfcn.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QThread>
#include <mutex>
#include <unordered_map>

#include "errordisplay.h"
#include "portctl.h"
#include "logline.h"
#include "serivox.h"
#include "shape.h"
#include "ui_serivox.h"

// The installed library folder, relative to the installed program's folder.
#ifndef SERIVOX_BRIDGE_DIR
#define SERIVOX_BRIDGE_DIR "../lib/serivox"
#endif

namespace {

constexpr uint8_t kNone = 255;

QString& PathOverride() {
  static QString path;
  return path;
}

// The windows that have bound the library, with what is needed to release a
// window's registration when it is destroyed. BridgeReceive checks its context
// against this list, so a byte for a window that no longer exists is dropped.
struct Registration {
  TDisconnect disconnect = nullptr;
  TDeleteCom deleteCom = nullptr;
  uint8_t ownId = kNone;
};

std::mutex& WindowsMutex() {
  static std::mutex mutex;
  return mutex;
}

std::unordered_map<const TSerivox*, Registration>& Windows() {
  static std::unordered_map<const TSerivox*, Registration> windows;
  return windows;
}

// Records the window's bound entry points and its registration.
void TrackWindow(TSerivox* window) {
  bool added = false;
  {
    std::lock_guard lock(WindowsMutex());
    auto [it, inserted] = Windows().try_emplace(window);
    it->second.disconnect = window->Disconnect;
    it->second.deleteCom = window->DeleteCom;
    it->second.ownId = window->OwnId;
    added = inserted;
  }
  if (!added) return;
  // A window destroyed with its port open and registered (its close steps do
  // not run then) releases its id here, so peers stop sending to it.
  QObject::connect(window, &QObject::destroyed, [window] {
    Registration r;
    {
      std::lock_guard lock(WindowsMutex());
      auto it = Windows().find(window);
      if (it == Windows().end()) return;
      r = it->second;
      Windows().erase(it);
    }
    if (r.ownId == kNone) return;
    if (r.disconnect != nullptr) r.disconnect(r.ownId);
    if (r.deleteCom != nullptr) r.deleteCom(r.ownId);
  });
}

void RememberOwnId(const TSerivox* window) {
  std::lock_guard lock(WindowsMutex());
  auto it = Windows().find(window);
  if (it != Windows().end()) it->second.ownId = window->OwnId;
}

template <class T>
void Resolve(void* library, const char* name, T& entry) {
  entry = reinterpret_cast<T>(dlsym(library, name));
}

// A byte from the library, on the window's thread: out of the port, then logged.
void ReceiveByte(TSerivox* window, uint8_t b) {
  if (!window->ComPort->Connected()) return;
  window->ComPort->SendText(std::string(1, char(b)));
  window->ui->Memo2->appendPlainText(ByteLogLine(QStringLiteral("In:  #"), b));
}

}  // namespace

QString BridgeLibraryPath() {
  if (!PathOverride().isEmpty()) return PathOverride();
  const QString file = QStringLiteral("Zelvar_Virtual_COM.DLL");
  const QDir folder(QCoreApplication::applicationDirPath());
  if (folder.exists(file)) return folder.filePath(file);
  // An installed program keeps the library in its own library folder.
  const QString installed = QDir::cleanPath(folder.filePath(QStringLiteral(SERIVOX_BRIDGE_DIR "/") + file));
  return QFileInfo::exists(installed) ? installed : folder.filePath(file);
}

void SetBridgeLibraryPath(const QString& path) { PathOverride() = path; }

QString TSerivox::BindBridgeLibrary() {
  auto unbind = [this] {
    IdentifyComDll = nullptr;
    SendByte = nullptr;
    AddCom = nullptr;
    DeleteCom = nullptr;
    Connect = nullptr;
    Disconnect = nullptr;
    GetComName = nullptr;
    GetComHandle = nullptr;
  };
  unbind();
  QString text;
  const QByteArray file = QFile::encodeName(BridgeLibraryPath());
  // Another window may have loaded it already; it is never unloaded.
  void* library = dlopen(file.constData(), RTLD_NOW | RTLD_NOLOAD);
  if (library == nullptr) library = dlopen(file.constData(), RTLD_NOW | RTLD_LOCAL);
  if (library != nullptr) {
    Resolve(library, "IdentifyComDll", IdentifyComDll);
    Resolve(library, "SendByte", SendByte);
    Resolve(library, "AddCom", AddCom);
    Resolve(library, "DeleteCom", DeleteCom);
    Resolve(library, "Connect", Connect);
    Resolve(library, "Disconnect", Disconnect);
    Resolve(library, "GetComName", GetComName);
    Resolve(library, "GetComHandle", GetComHandle);
    if (IdentifyComDll && SendByte && AddCom && DeleteCom && Connect && Disconnect && GetComName && GetComHandle) {
      const char* identity = IdentifyComDll();
      if (identity != nullptr) text = QString::fromLocal8Bit(identity);
    } else {
      unbind();  // an incomplete library is not used at all
    }
  }
  TrackWindow(this);
  return text;
}

void TSerivox::RefreshBridgePeers() {
  // Emptying and filling the list would replace the typed text.
  const QString typed = ui->ComboBox1->currentText();
  ui->ComboBox1->clear();
  const bool bound =
      IdentifyComDll && SendByte && AddCom && DeleteCom && Connect && Disconnect && GetComName && GetComHandle;
  if (bound) {
    for (uint32_t id = 0; id <= 255; ++id) {
      if (id == OwnId) continue;
      const char* name = GetComName(id);
      if (name != nullptr && *name != '\0') ui->ComboBox1->addItem(QString::fromLocal8Bit(name));
    }
  }
  ui->ComboBox1->setEditText(typed);
}

void TSerivox::ComboBox1DropDown(QObject*) { RefreshBridgePeers(); }

void TSerivox::Button9Click(QObject*) {
  if (ui->Button9->text() == QLatin1String("Connect")) {
    const QByteArray peer = ui->ComboBox1->currentText().toLocal8Bit();
    const uint32_t p = GetComHandle != nullptr ? GetComHandle(peer.constData()) : kNone;
    PeerId = uint8_t(p);
    if (Connect != nullptr) Connect(OwnId, p, &TSerivox::BridgeReceive, this);
    ui->Shape4->SetBrushColor(clLime);
    ui->ComboBox1->setEnabled(false);
    ui->Button9->setText(QStringLiteral("Disconnect"));
  } else {
    if (Disconnect != nullptr) Disconnect(OwnId);
    PeerId = kNone;
    ui->Shape4->SetBrushColor(clRed);
    ui->ComboBox1->setEnabled(true);
    ui->Button9->setText(QStringLiteral("Connect"));
  }
}

// Peer watch: a bridge whose peer's name has gone or changed is dropped.
void TSerivox::Timer2Timer(QObject*) {
  if (ui->Button9->text() != QLatin1String("Disconnect")) return;
  const char* name = GetComName != nullptr ? GetComName(PeerId) : nullptr;
  const QByteArray current(name != nullptr ? name : "");
  if (current != ui->ComboBox1->currentText().toLocal8Bit()) Button9Click(ui->Button9);
}

void TSerivox::BridgeAfterOpen() {
  OwnId = kNone;
  if (!ui->VirtualCom->isHidden() && AddCom != nullptr) {
    const QByteArray name = ui->ComComboBox1->Text().toLocal8Bit();
    OwnId = uint8_t(AddCom(name.constData()));
  }
  RememberOwnId(this);
  // A window left showing the connected state while its port was closed
  // joins its peer again under the new id; otherwise it would show a bridge
  // that carries nothing.
  if (OwnId != kNone && ui->Button9->text() == QLatin1String("Disconnect") && GetComHandle != nullptr &&
      Connect != nullptr) {
    const QByteArray peer = ui->ComboBox1->currentText().toLocal8Bit();
    const uint32_t p = GetComHandle(peer.constData());
    PeerId = uint8_t(p);
    Connect(OwnId, p, &TSerivox::BridgeReceive, this);
  }
  RefreshBridgePeers();
}

void TSerivox::BridgeAfterClose() {
  if (OwnId != kNone && DeleteCom != nullptr) DeleteCom(OwnId);
  OwnId = kNone;
  RememberOwnId(this);
  RefreshBridgePeers();
}

void TSerivox::ForwardKeyToBridge(char Key) {
  if (SendByte != nullptr && PeerId != kNone) SendByte(OwnId, uint8_t(Key));
}

// Called by the library. Nothing may leave here: errors go to the error
// display. A library that calls from another thread is moved onto the
// window's thread, since the byte touches the port and the controls.
void TSerivox::BridgeReceive(void* context, uint32_t, uint32_t data) {
  Guarded([&] {
    auto* window = static_cast<TSerivox*>(context);
    const uint8_t b = uint8_t(data & 0xFF);
    std::unique_lock lock(WindowsMutex());
    if (!Windows().contains(window)) return;  // not a window, or one already destroyed
    if (QThread::currentThread() != window->thread()) {
      QMetaObject::invokeMethod(
          window, [window, b] { Guarded([&] { ReceiveByte(window, b); }); }, Qt::QueuedConnection);
      return;
    }
    lock.unlock();
    ReceiveByte(window, b);
  });
}
