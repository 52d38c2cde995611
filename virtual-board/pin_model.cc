#include "virtual-board/pin_model.h"

#include <algorithm>

PinModel::PinModel(std::uint8_t inputs, std::uint32_t clock_factor)
    : inputs_(inputs), clock_factor_(clock_factor) {}

void PinModel::SetBaudRate(std::uint32_t baud_rate) { baud_rate_ = baud_rate; }

PinLevels PinModel::SetBitMode(std::uint64_t t_ns, std::uint8_t mask, std::uint8_t mode) {
  SettleUntil(t_ns);
  mask_ = mask;
  mode_ = mode;
  return {t_ns, LevelsFor(latch_)};
}

std::vector<PinLevels> PinModel::Write(std::uint64_t t_ns, const std::uint8_t* data,
                                       std::uint32_t count) {
  std::vector<PinLevels> changes;
  if (mode_ == 0 || count == 0) return changes;
  SettleUntil(t_ns);
  const std::uint64_t bytes_per_second =
      static_cast<std::uint64_t>(baud_rate_) * static_cast<std::uint64_t>(clock_factor_);
  // Each byte's time from the write's start, so that rounding does not add up.
  auto after = [&](std::uint64_t bytes) { return bytes * 1000000000ULL / bytes_per_second; };
  const std::uint64_t start = std::max(t_ns, output_end_ns_);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t at = start + after(i);
    queued_.push_back({at, data[i]});
    changes.push_back({at, LevelsFor(data[i])});
  }
  output_end_ns_ = start + after(count);
  return changes;
}

std::uint8_t PinModel::LevelsAt(std::uint64_t t_ns) {
  SettleUntil(t_ns);
  return LevelsFor(latch_);
}

std::uint8_t PinModel::LevelsFor(std::uint8_t latch) const {
  if (mode_ == 0) return inputs_;
  return static_cast<std::uint8_t>((latch & mask_) | (inputs_ & ~mask_));
}

void PinModel::SettleUntil(std::uint64_t t_ns) {
  std::size_t out = 0;
  while (out < queued_.size() && queued_[out].t_ns <= t_ns) {
    latch_ = queued_[out].levels;
    ++out;
  }
  queued_.erase(queued_.begin(), queued_.begin() + static_cast<std::ptrdiff_t>(out));
}
