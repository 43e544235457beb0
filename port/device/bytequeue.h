// SPDX-License-Identifier: MIT
// The input queue of the tty and network devices: received bytes in one
// contiguous buffer, appended at the end and taken from the front with a copy
// each; the taken part is dropped when it outweighs what is left, so the
// buffer stays below twice its contents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace serivox::device {

class ByteQueue {
 public:
  size_t size() const { return bytes_.size() - head_; }
  bool empty() const { return size() == 0; }
  void append(const uint8_t* data, size_t n);
  size_t take(uint8_t* out, size_t n);
  void clear();
  // Appends received data bytes, without the NULs when `dropNul` (fNull).
  // Returns how many were kept; sets `flag` when `evtChar` is among them.
  size_t appendReceived(const uint8_t* data, size_t n, bool dropNul, uint8_t evtChar, bool& flag);

 private:
  std::vector<uint8_t> bytes_;
  size_t head_ = 0;
};

}  // namespace serivox::device
