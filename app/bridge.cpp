// The virtual COM bridge: binding the bridge library and moving bytes
// between it and the window's port.
#include "serivox.h"

QString TSerivox::BindBridgeLibrary() { return QString(); }

void TSerivox::RefreshBridgePeers() {}

void TSerivox::ComboBox1DropDown(QObject*) {}

void TSerivox::Button9Click(QObject*) {}

void TSerivox::Timer2Timer(QObject*) {}

void TSerivox::BridgeAfterOpen() {}

void TSerivox::BridgeAfterClose() {}

void TSerivox::ForwardKeyToBridge(char) {}

void TSerivox::BridgeReceive(void*, uint32_t, uint32_t) {}
