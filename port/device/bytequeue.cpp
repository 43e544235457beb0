// SPDX-License-Identifier: MIT
#include "bytequeue.h"

#include <algorithm>
#include <cstring>

namespace serivox::device {

void ByteQueue::append(const uint8_t* data, size_t n) {
  if (head_ > 0 && head_ >= size()) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
  bytes_.insert(bytes_.end(), data, data + n);
}

size_t ByteQueue::take(uint8_t* out, size_t n) {
  n = std::min(n, size());
  if (n > 0) std::memcpy(out, bytes_.data() + head_, n);
  head_ += n;
  if (head_ == bytes_.size()) clear();
  return n;
}

void ByteQueue::clear() {
  bytes_.clear();
  head_ = 0;
}

size_t ByteQueue::appendReceived(const uint8_t* data, size_t n, bool dropNul, uint8_t evtChar, bool& flag) {
  size_t kept = 0;
  const uint8_t* const end = data + n;
  // Runs between dropped NULs are copied whole.
  while (data < end) {
    const auto* nul = dropNul ? static_cast<const uint8_t*>(std::memchr(data, 0, size_t(end - data))) : nullptr;
    const size_t run = size_t((nul ? nul : end) - data);
    if (run > 0) {
      append(data, run);
      if (std::memchr(data, evtChar, run)) flag = true;
      kept += run;
    }
    data = nul ? nul + 1 : end;
  }
  return kept;
}

}  // namespace serivox::device
