// Fakes of the console and of the driver library for unit tests: no terminal,
// no real sleeps, no shared library. Both write into one event log, so a test
// sees driver calls, pauses and key reads in the order they happened.
#ifndef QUENDAL_TESTS_FAKES_FAKES_H
#define QUENDAL_TESTS_FAKES_FAKES_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "bench/console.h"
#include "driver/driver_binding.h"
#include "driver/library_loader.h"

// Entries such as "FT_Write 02 01", "sleep 1000", "read key k".
extern std::vector<std::string> g_events;

// The event of one write of the fast phase's pattern.
inline const char kFastPatternWrite[] =
    "FT_Write 02 01 00 01 00 01 00 01 00 01 00 01 00 01 00 01";

struct FakeFailure {
  int from_call;  // Counts from 1; that call and every later one fail.
  DriverStatus status;
};

struct FakeDriverState {
  std::map<std::string, FakeFailure> failures;  // By entry point name.
  std::map<std::string, int> call_counts;
  std::uint8_t pin_value = 0xfd;
  // The library as the loader sees it.
  bool loadable = true;
  std::set<std::string> exported = {"FT_Open", "FT_SetBitMode", "FT_Write", "FT_SetBaudRate",
                                    "FT_GetBitMode"};
  std::vector<std::string> lookups;
};
extern FakeDriverState g_fake_driver;

// Clears the event log and the driver's state.
void ResetFakes();

// Loads "libfake.so"; resolves the names in g_fake_driver.exported, exactly.
const LibraryLoader& FakeLoader();

// All five fake entry points, as a successful binding would leave them.
DriverEntryPoints FakeEntryPoints();

// Events that are driver calls, in order.
std::vector<std::string> DriverCalls();

class FakeConsole final : public Console {
 public:
  // Makes keys pending now.
  void TypeAhead(const std::string& keys) { pending_ += keys; }
  // Makes keys pending just before the given KeyWaiting call (from 1) answers.
  void TypeAtPoll(int poll, const std::string& keys) { keys_at_poll_[poll] += keys; }

  const std::string& output() const { return output_; }
  const std::string& pending() const { return pending_; }

  void Print(const char* text) override;
  bool KeyWaiting() override;
  void ReadKey() override;
  void Sleep(unsigned milliseconds) override;

 private:
  std::string output_;
  std::string pending_;
  std::map<int, std::string> keys_at_poll_;
  int polls_ = 0;
};

#endif  // QUENDAL_TESTS_FAKES_FAKES_H
