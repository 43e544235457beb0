// SPDX-License-Identifier: MIT
// The virtual COM bridge library: named endpoints inside one process, joined
// in pairs, passing single bytes from one window to another.
//
// Entry points. They have C linkage and take and return 32-bit values; the
// program looks them up by these exact names. The original interface asks for
// the stdcall convention; x86-64 Linux has a single calling convention, so
// these are plain C functions. None of them ever throws.
//
// Ids. An endpoint is known by a one-byte id, 0..254; 255 means none. Of an id
// or a data byte only the low 8 bits count; the upper 24 bits are ignored, as
// callers may leave them undefined. Calls with the id 255 do nothing.
//
// Joining. Connect(a, b, callback, context) records, for the endpoint a, the
// peer b and how a's window receives bytes. SendByte(a, byte) hands the byte to
// b's callback, but only while both sides are joined to each other: a to b and
// b to a. A window that has not chosen the sender as its peer never receives
// its bytes, and a stale connection to an id that has since been released and
// given to someone else delivers nothing unless that newcomer joins back.
//
// Delivery. The callback never runs inside SendByte: the byte is posted to the
// thread of the application object (QCoreApplication), where the windows live,
// and delivered when that thread processes its events, in the order sent. At
// that moment the receiver is checked again: a receiver that has disconnected,
// reconnected or been deleted in the meantime gets nothing. Without an
// application object nothing can be delivered and bytes are dropped.
//
// Threads. All entry points may be called from any thread; one lock guards
// the table.
#pragma once

#include <cstdint>

#define ZELVAR_EXPORT __attribute__((visibility("default")))

extern "C" {

// Receives one byte: the context given to Connect, an unused value (the
// sender's id), the data byte in the low 8 bits.
typedef void (*ZelvarReceive)(void* context, uint32_t unused, uint32_t data);

// A short text naming the bridge.
ZELVAR_EXPORT const char* IdentifyComDll();
// Hands the byte to the endpoint ownId is joined with (see Joining).
// Returns 1 when the byte was posted, 0 when it was dropped.
ZELVAR_EXPORT uint32_t SendByte(uint32_t ownId, uint32_t data);
// Registers an endpoint under the name and returns its id: the lowest free
// one. Returns 255 for a null or empty name, a name already registered
// (names are compared byte for byte) or a full table.
ZELVAR_EXPORT uint32_t AddCom(const char* name);
// Releases the id and its name, and drops its connection. Returns 1 when the
// id was registered.
ZELVAR_EXPORT uint32_t DeleteCom(uint32_t id);
// Joins the registered endpoint ownId to the peer in the low 8 bits of
// peerHandle; bytes for ownId's window go to callback(context, ...). Replaces
// an earlier connection of ownId. A peer of 255 leaves ownId unjoined. Returns
// 1 when the connection was recorded.
ZELVAR_EXPORT uint32_t Connect(uint32_t ownId, uint32_t peerHandle, ZelvarReceive callback, void* context);
// Drops ownId's connection: its callback is no longer called. Returns 1 when
// there was one.
ZELVAR_EXPORT uint32_t Disconnect(uint32_t ownId);
// The name registered under the id, or "" for a free id or 255. Never null.
// The text stays valid for the life of the library.
ZELVAR_EXPORT const char* GetComName(uint32_t id);
// The id registered under the name, or 255 for an unknown or null name.
ZELVAR_EXPORT uint32_t GetComHandle(const char* name);

}  // extern "C"
