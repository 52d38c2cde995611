// The pin model against a reference written here another way: every byte
// ever sent kept with its time, the levels at a time found by looking back
// through them, and the byte times counted from each write's start.
//
// An input is a sequence of calls with times that never go back, as the
// model's contract asks, and the rates and clock factors that the board lets
// through (183 to 3,000,000 baud, factor 1 to 1000).
#include <algorithm>
#include <cstdint>
#include <vector>

#include "tests/fuzz/fuzz_input.h"
#include "virtual-board/pin_model.h"

namespace {

class ReferencePins {
 public:
  ReferencePins(std::uint8_t inputs, std::uint32_t factor) : inputs_(inputs), factor_(factor) {}

  void SetBaudRate(std::uint32_t rate) { rate_ = rate; }
  void SetBitMode(std::uint8_t mask, std::uint8_t mode) {
    mask_ = mask;
    mode_ = mode;
  }

  // The times at which the bytes reach the latch.
  std::vector<std::uint64_t> Write(std::uint64_t t_ns, std::size_t count) {
    std::vector<std::uint64_t> times;
    if (mode_ == 0 || count == 0) return times;
    const std::uint64_t start = std::max(t_ns, end_ns_);
    const std::uint64_t per_second = std::uint64_t{rate_} * factor_;
    for (std::size_t i = 0; i <= count; ++i) {
      const std::uint64_t at = start + i * 1000000000ULL / per_second;
      if (i < count) times.push_back(at);
      end_ns_ = at;
    }
    return times;
  }
  void Sent(std::uint64_t at, std::uint8_t byte) { sent_.push_back({at, byte}); }

  std::uint8_t Show(std::uint8_t latch) const {
    if (mode_ == 0) return inputs_;
    return static_cast<std::uint8_t>((latch & mask_) | (inputs_ & ~mask_));
  }
  std::uint8_t LevelsAt(std::uint64_t t_ns) const {
    std::uint8_t latch = 0;
    for (const PinLevels& byte : sent_) {
      if (byte.t_ns <= t_ns) latch = byte.levels;
    }
    return Show(latch);
  }
  std::uint64_t EndNs() const { return end_ns_; }

 private:
  std::uint8_t inputs_;
  std::uint32_t factor_;
  std::uint32_t rate_ = 9600;
  std::uint8_t mask_ = 0;
  std::uint8_t mode_ = 0;
  std::vector<PinLevels> sent_;
  std::uint64_t end_ns_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const std::uint8_t inputs = input.Byte();
  const auto factor = static_cast<std::uint32_t>(input.InRange(1, 1000, 2));
  PinModel model(inputs, factor);
  ReferencePins reference(inputs, factor);
  std::uint64_t now = 0;
  for (int calls = 0; !input.empty() && calls < 64; ++calls) {
    // Steps from nothing to about a second, the span of the bench's phases.
    const int step = input.Byte() % 4;
    now += step == 0 ? 0 : input.Number(step == 3 ? 4 : step);
    switch (input.Byte() % 4) {
      case 0: {
        const auto rate = static_cast<std::uint32_t>(input.InRange(183, 3000000, 3));
        model.SetBaudRate(rate);
        reference.SetBaudRate(rate);
        break;
      }
      case 1: {
        const std::uint8_t mask = input.Byte();
        // Mode 0 and the bit-bang modes, and now and then any other byte.
        const std::uint8_t choice = input.Byte();
        const std::uint8_t mode = choice < 200 ? choice % 2 : choice;
        const PinLevels levels = model.SetBitMode(now, mask, mode);
        reference.SetBitMode(mask, mode);
        FUZZ_CHECK(levels.t_ns == now && levels.levels == reference.LevelsAt(now));
        break;
      }
      case 2: {
        const std::vector<std::uint8_t> bytes = input.Bytes(64);
        const std::vector<PinLevels> changes =
            model.Write(now, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        const std::vector<std::uint64_t> times = reference.Write(now, bytes.size());
        FUZZ_CHECK(changes.size() == times.size());
        for (std::size_t i = 0; i < times.size(); ++i) {
          reference.Sent(times[i], bytes[i]);
          FUZZ_CHECK(changes[i].t_ns == times[i] && changes[i].t_ns >= now);
          FUZZ_CHECK(changes[i].levels == reference.Show(bytes[i]));
        }
        break;
      }
      default:
        FUZZ_CHECK(model.LevelsAt(now) == reference.LevelsAt(now));
        break;
    }
    FUZZ_CHECK(model.OutputEndNs() == reference.EndNs());
  }
  return 0;
}
