// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "types.h"

TEST(TextForms, EnumerationsMatchWholeTextIgnoringCase) {
  EXPECT_EQ(BaudRateFromText("115200"), br115200);
  EXPECT_EQ(BaudRateFromText("custom"), brCustom);
  EXPECT_EQ(BaudRateFromText("CUSTOM"), brCustom);
  EXPECT_EQ(BaudRateFromText("12345"), br9600);
  EXPECT_EQ(BaudRateFromText(""), br9600);
  EXPECT_EQ(BaudRateFromText(" 9600"), br9600);
  EXPECT_EQ(BaudRateFromText("300 "), br9600);
  EXPECT_EQ(StopBitsFromText("1,5"), sbOneStopBit);
  EXPECT_EQ(StopBitsFromText("1.5"), sbOne5StopBits);
  EXPECT_EQ(StopBitsFromText("2"), sbTwoStopBits);
  EXPECT_EQ(DataBitsFromText("9"), dbEight);
  EXPECT_EQ(DataBitsFromText("5"), dbFive);
  EXPECT_EQ(ParityFromText("odd"), prOdd);
  EXPECT_EQ(ParityFromText("sPaCe"), prSpace);
  EXPECT_EQ(ParityFromText("parity"), prNone);
  EXPECT_EQ(FlowControlFromText("Xon/Xoff"), fcCustom);
  EXPECT_EQ(FlowControlFromText("hardware"), fcHardware);
  EXPECT_EQ(FlowControlFromText("NONE"), fcNone);
  EXPECT_EQ(DTRControlFromText("handshake"), dtrHandshake);
  EXPECT_EQ(DTRControlFromText("Toggle"), dtrDisable);
  EXPECT_EQ(RTSControlFromText("toggle"), rtsToggle);
  // Only ASCII letters change case: a Latin-1 letter never matches.
  EXPECT_EQ(ParityFromText("\xe9ven"), prNone);
}

TEST(TextForms, ToTextListsFormsInOrdinalOrderAndRoundTrips) {
  const char* bauds[] = {"Custom", "110",   "300",   "600",   "1200",   "2400",   "4800",   "9600",
                         "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
  for (int i = 0; i < kBaudRateCount; ++i) {
    EXPECT_EQ(BaudRateToText(static_cast<TBaudRate>(i)), bauds[i]);
    EXPECT_EQ(BaudRateFromText(bauds[i]), static_cast<TBaudRate>(i));
  }
  EXPECT_EQ(BaudRateToInt(br256000), 256000);
  EXPECT_EQ(BaudRateToInt(br14400), 14400);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(FlowControlFromText(FlowControlToText(TFlowControl(i))), TFlowControl(i));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ParityFromText(ParityToText(TParityBits(i))), TParityBits(i));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(RTSControlFromText(RTSControlToText(TRTSFlowControl(i))), TRTSFlowControl(i));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(DTRControlFromText(DTRControlToText(TDTRFlowControl(i))), TDTRFlowControl(i));
  EXPECT_EQ(StopBitsToText(sbOne5StopBits), "1.5");
  EXPECT_EQ(DataBitsToText(dbSeven), "7");
}

TEST(TextForms, Flags) {
  EXPECT_EQ(BoolToText(true), "Yes");
  EXPECT_EQ(BoolToText(false), "No");
  EXPECT_TRUE(BoolFromText("yes"));
  EXPECT_TRUE(BoolFromText("YES"));
  for (const char* s : {"Y", "1", "True", "", "yes "}) EXPECT_FALSE(BoolFromText(s)) << s;
}

TEST(TextForms, Characters) {
  EXPECT_EQ(CharToText(32), "#32");
  EXPECT_EQ(CharToText('~'), "~");
  EXPECT_EQ(CharToText(127), std::string(1, '\x7f'));
  EXPECT_EQ(CharToText(200), "#200");
  EXPECT_EQ(CharToText(0), "#0");
  EXPECT_EQ(CharToText('#'), "#");
  EXPECT_EQ(CharFromText("#17"), 17);
  EXPECT_EQ(CharFromText("#"), '#');
  EXPECT_EQ(CharFromText("AB"), 'A');
  EXPECT_EQ(CharFromText("#abc"), 0);
  EXPECT_EQ(CharFromText("#300"), 44);
  EXPECT_EQ(CharFromText("#-1"), 255);
  EXPECT_EQ(CharFromText("#$41"), 'A');
  EXPECT_EQ(CharFromText("#0x41"), 'A');
  EXPECT_EQ(CharFromText("# 65"), 'A');
  EXPECT_EQ(CharFromText(""), 0);
  EXPECT_EQ(CharFromText("#99999999999"), 0);  // does not fit: conversion fails
  for (int c = 0; c < 256; ++c) EXPECT_EQ(CharFromText(CharToText(uint8_t(c))), c) << c;
}

TEST(TextForms, Integers) {
  int32_t v = 7;
  EXPECT_TRUE(TextToInt("0x1C200", v));
  EXPECT_EQ(v, 115200);
  EXPECT_TRUE(TextToInt("$ff", v));
  EXPECT_EQ(v, 255);
  EXPECT_TRUE(TextToInt("0X0A", v));
  EXPECT_EQ(v, 10);
  EXPECT_TRUE(TextToInt("  -5", v));
  EXPECT_EQ(v, -5);
  EXPECT_TRUE(TextToInt("$FFFFFFFF", v));
  EXPECT_EQ(v, -1);
  EXPECT_TRUE(TextToInt("-2147483648", v));
  EXPECT_EQ(v, INT32_MIN);
  v = 7;
  for (const char* bad : {"", "abc", "12a", "5 ", "2147483648", "0x", "$", "-", "$100000000", "1e3"}) {
    EXPECT_FALSE(TextToInt(bad, v)) << bad;
    EXPECT_EQ(v, 7) << bad;
  }
}

TEST(TextForms, EventMaskMapsMemberByMember) {
  EXPECT_EQ(EventSetToMask(TComEvents{evRxChar}), 0x0001u);
  EXPECT_EQ(EventSetToMask(TComEvents{evTxEmpty, evRxFlag}), 0x0006u);
  EXPECT_EQ(EventSetToMask(kAllComEvents), 0x05FFu);
  EXPECT_EQ(MaskToEventSet(0x0100), TComEvents{evRing});
  EXPECT_EQ(MaskToEventSet(0x0400 | 0x0020), (TComEvents{evRx80Full, evRLSD}));
  EXPECT_TRUE(MaskToEventSet(0x0200 | 0x0800 | 0x10000).Empty());
  for (int i = 0; i < 10; ++i) {
    TComEvents one{TComEvent(i)};
    EXPECT_EQ(MaskToEventSet(EventSetToMask(one)), one);
  }
}
