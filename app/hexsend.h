// SPDX-License-Identifier: MIT
// Bytes written as hexadecimal ("01 03 00 00 00 0A C5 CD"; spaces optional).
#pragma once

#include <QString>
#include <string>

// The bytes of `text`, two digits each, blanks anywhere between bytes. On a
// malformed text returns false and `error` names the place: a character that
// is no digit, or a last digit without its pair.
bool ParseHexBytes(const QString& text, std::string& bytes, QString& error);
