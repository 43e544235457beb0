// SPDX-License-Identifier: MIT
// TComLed: a lamp showing one signal of one port, or a state set from code.
#pragma once

#include <QImage>
#include <QMetaObject>
#include <QTimer>
#include <QWidget>
#include <functional>

#include "comport.h"
#include "link.h"

enum TComLedSignal : uint8_t { lsConn, lsCTS, lsDSR, lsRLSD, lsRing, lsRx, lsTx };
enum TLedKind : uint8_t {
  lkRedLight, lkGreenLight, lkBlueLight, lkYellowLight, lkPurpleLight, lkBulb, lkCustom
};
enum TLedState : uint8_t { lsOff, lsOn };

using TLedStateEvent = std::function<void(QObject* Sender, TLedState AState)>;

class TComLed : public QWidget {
  Q_OBJECT

 public:
  explicit TComLed(QWidget* parent = nullptr);
  ~TComLed() override;

  // The bound port, not owned. Binding registers the lamp's link with it and,
  // when the port is open, reads the signal's current state. Unbinding turns
  // the lamp off. A port destroyed first unbinds the lamp.
  TCustomComPort* ComPort() const { return comPort_; }
  void SetComPort(TCustomComPort* port);
  // Switching the signal keeps the state until the next callback of the new one.
  TComLedSignal LedSignal() const { return ledSignal_; }
  void SetLedSignal(TComLedSignal value);
  TLedKind Kind() const { return kind_; }
  void SetKind(TLedKind value);
  // Raises EComPort code 19 while a port is bound.
  TLedState State() const { return state_; }
  void SetState(TLedState value);
  // The pictures; assignment takes effect only for lkCustom. The colour of the
  // bottom-left pixel is drawn transparent.
  QImage GlyphOn() const { return glyphs_[lsOn]; }
  QImage GlyphOff() const { return glyphs_[lsOff]; }
  void SetGlyphOn(const QImage& glyph);
  void SetGlyphOff(const QImage& glyph);
  // How long a ring keeps the lamp lit, in ms; 0 keeps it lit until unbound.
  int RingDuration() const { return ringDuration_; }
  void SetRingDuration(int value);

  // Fired on every state set, also when the state does not change.
  TLedStateEvent OnChange;

  // The link registered with the bound port.
  TComLink& Link() { return link_; }

  // Stores the state, fires OnChange and repaints.
  void SetLedState(TLedState value);
  // Link callback: sets the state and paints it before returning.
  void SignalChanged(QObject* Sender, bool OnOff);
  // Link callback of a ring: lights the lamp and starts the ring timer.
  void RingArrived(QObject* Sender);
  void RingTimeout();

  // The built-in picture of a kind and state (empty for lkCustom).
  static QImage KindGlyph(TLedKind kind, TLedState state);

  QSize sizeHint() const override;

 protected:
  virtual void DoStateChange(TLedState value);
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void LoadKindGlyphs(TLedKind kind);
  void FillLinkCallback();
  void Unbind();
  void UpdateAccessibleName();

  TCustomComPort* comPort_ = nullptr;
  TComLedSignal ledSignal_ = lsConn;
  TLedKind kind_ = lkRedLight;
  TLedState state_ = lsOff;
  QImage glyphs_[2];
  TComLink link_;
  QTimer ringTimer_;
  int ringDuration_ = 1000;
  bool ringEnabled_ = false;
  QMetaObject::Connection destroyedConnection_;
};
