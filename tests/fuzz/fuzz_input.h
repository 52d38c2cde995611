// The bytes of one fuzz input, taken from the front as the target needs
// them. An input that runs out gives zeros, so every input is a whole case
// and a short one is the start of a longer one.
#ifndef QUENDAL_TESTS_FUZZ_FUZZ_INPUT_H
#define QUENDAL_TESTS_FUZZ_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <vector>

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return used_ >= size_; }

  std::uint8_t Byte() { return used_ < size_ ? data_[used_++] : 0; }

  // Little-endian, so that a small value is one leading byte and zeros.
  std::uint64_t Number(int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= std::uint64_t{Byte()} << (8 * i);
    return value;
  }

  std::uint32_t Uint32() { return static_cast<std::uint32_t>(Number(4)); }

  // A value in [low, high].
  std::uint64_t InRange(std::uint64_t low, std::uint64_t high, int bytes) {
    const std::uint64_t span = high - low;
    const std::uint64_t value = Number(bytes);
    return span == UINT64_MAX ? value : low + value % (span + 1);
  }

  // Up to `max` bytes, the count first.
  std::vector<std::uint8_t> Bytes(std::size_t max) {
    std::size_t count = Byte() % (max + 1);
    std::vector<std::uint8_t> bytes;
    while (count-- > 0 && !empty()) bytes.push_back(Byte());
    return bytes;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t used_ = 0;
};

// Stops the process with a message naming the broken expectation, where
// libFuzzer or the replay sees it as a crash and keeps the input.
[[noreturn]] void FuzzFailure(const char* file, int line, const char* check);

#define FUZZ_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : FuzzFailure(__FILE__, __LINE__, #condition))

#endif  // QUENDAL_TESTS_FUZZ_FUZZ_INPUT_H
