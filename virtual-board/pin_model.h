// The eight data pins of an FT232R-class chip, as bit-bang mode drives them.
//
// Contract: times are nanoseconds on one monotonic clock, and calls come with
// times that never go back. In bit-bang mode (any mode but 0) the pins in the
// mask are outputs and show the output latch; the others, and all pins in
// mode 0, show the inputs. Each byte of a write reaches the latch one byte
// clock (baud rate x clock factor) after the one before, starting when the
// write arrives or when the bytes written before it are out (the last of them
// one byte clock after it reached the latch), whichever is later; the last
// byte stays. Writes outside bit-bang mode leave the pins.
#ifndef QUENDAL_VIRTUAL_BOARD_PIN_MODEL_H
#define QUENDAL_VIRTUAL_BOARD_PIN_MODEL_H

#include <cstdint>
#include <vector>

// The levels of all eight pins (bit n for pin Dn) from time t_ns on.
struct PinLevels {
  std::uint64_t t_ns;
  std::uint8_t levels;
};

class PinModel {
 public:
  PinModel(std::uint8_t inputs, std::uint32_t clock_factor);

  void SetBaudRate(std::uint32_t baud_rate);
  // The levels from t_ns on, which the new mask and mode may change.
  PinLevels SetBitMode(std::uint64_t t_ns, std::uint8_t mask, std::uint8_t mode);
  // The levels after each byte, in time order; empty outside bit-bang mode.
  std::vector<PinLevels> Write(std::uint64_t t_ns, const std::uint8_t* data, std::uint32_t count);
  std::uint8_t LevelsAt(std::uint64_t t_ns);
  // When the bytes written so far are out: the earliest time for the next.
  std::uint64_t OutputEndNs() const { return output_end_ns_; }

 private:
  std::uint8_t LevelsFor(std::uint8_t latch) const;
  // Moves the queued bytes that are out by t_ns into the latch.
  void SettleUntil(std::uint64_t t_ns);

  std::uint8_t inputs_;
  std::uint32_t clock_factor_;
  std::uint32_t baud_rate_ = 9600;  // The chip's rate after reset.
  std::uint8_t mask_ = 0;
  std::uint8_t mode_ = 0;
  std::uint8_t latch_ = 0;
  std::vector<PinLevels> queued_;  // Latch values still on their way, in time order.
  std::uint64_t output_end_ns_ = 0;
};

#endif  // QUENDAL_VIRTUAL_BOARD_PIN_MODEL_H
