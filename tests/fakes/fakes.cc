#include "tests/fakes/fakes.h"

#include <gtest/gtest.h>

#include <cstdio>

std::vector<std::string> g_events;
FakeDriverState g_fake_driver;

namespace {

std::string Hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*x", digits, static_cast<unsigned>(value));
  return text;
}

// Records the call; returns the configured failure status, or 0.
DriverStatus RecordCall(const std::string& name, const std::string& arguments) {
  int call_number = ++g_fake_driver.call_counts[name];
  g_events.push_back(name + arguments);
  auto failure = g_fake_driver.failures.find(name);
  if (failure != g_fake_driver.failures.end() && call_number >= failure->second.from_call) {
    return failure->second.status;
  }
  return kDriverOk;
}

DeviceHandle const kFakeHandle = reinterpret_cast<DeviceHandle>(0x5eed);

DriverStatus DRIVER_CALL FakeOpen(std::int32_t index, DeviceHandle* handle) {
  DriverStatus status = RecordCall("FT_Open", " " + std::to_string(index));
  if (status == kDriverOk) *handle = kFakeHandle;
  return status;
}

void ExpectFakeHandle(DeviceHandle handle) { EXPECT_EQ(handle, kFakeHandle); }

DriverStatus DRIVER_CALL FakeSetBaudRate(DeviceHandle handle, std::uint32_t rate) {
  ExpectFakeHandle(handle);
  return RecordCall("FT_SetBaudRate", " " + std::to_string(rate));
}

DriverStatus DRIVER_CALL FakeSetBitMode(DeviceHandle handle, std::uint8_t mask, std::uint8_t mode) {
  ExpectFakeHandle(handle);
  return RecordCall("FT_SetBitMode", " " + Hex(mask, 2) + " " + Hex(mode, 2));
}

DriverStatus DRIVER_CALL FakeWrite(DeviceHandle handle, void* data, std::uint32_t count,
                                   std::uint32_t* written) {
  ExpectFakeHandle(handle);
  std::string bytes;
  for (std::uint32_t i = 0; i < count; ++i) {
    bytes += " " + Hex(static_cast<const std::uint8_t*>(data)[i], 2);
  }
  DriverStatus status = RecordCall("FT_Write", bytes);
  if (status == kDriverOk) *written = count;
  return status;
}

DriverStatus DRIVER_CALL FakeGetBitMode(DeviceHandle handle, std::uint8_t* value) {
  ExpectFakeHandle(handle);
  DriverStatus status = RecordCall("FT_GetBitMode", "");
  if (status == kDriverOk) *value = g_fake_driver.pin_value;
  return status;
}

int g_fake_library;

void* FakeLoadLibrary(const char*) { return g_fake_driver.loadable ? &g_fake_library : nullptr; }

void* FakeFindEntryPoint(void* library, const char* name) {
  EXPECT_EQ(library, &g_fake_library);
  g_fake_driver.lookups.push_back(name);
  if (g_fake_driver.exported.count(name) == 0) return nullptr;
  const std::map<std::string, void*> addresses = {
      {"FT_Open", reinterpret_cast<void*>(FakeOpen)},
      {"FT_SetBitMode", reinterpret_cast<void*>(FakeSetBitMode)},
      {"FT_Write", reinterpret_cast<void*>(FakeWrite)},
      {"FT_SetBaudRate", reinterpret_cast<void*>(FakeSetBaudRate)},
      {"FT_GetBitMode", reinterpret_cast<void*>(FakeGetBitMode)},
  };
  auto address = addresses.find(name);
  return address == addresses.end() ? nullptr : address->second;
}

const LibraryLoader kFakeLoader = {"libfake.so", FakeLoadLibrary, FakeFindEntryPoint};

}  // namespace

void ResetFakes() {
  g_events.clear();
  g_fake_driver = FakeDriverState();
}

const LibraryLoader& FakeLoader() { return kFakeLoader; }

DriverEntryPoints FakeEntryPoints() {
  return {FakeOpen, FakeSetBitMode, FakeWrite, FakeSetBaudRate, FakeGetBitMode};
}

std::vector<std::string> DriverCalls() {
  std::vector<std::string> calls;
  for (const std::string& event : g_events) {
    if (event.rfind("FT_", 0) == 0) calls.push_back(event);
  }
  return calls;
}

void FakeConsole::Print(const char* text) { output_ += text; }

bool FakeConsole::KeyWaiting() {
  // A test whose key never comes would otherwise spin for ever.
  constexpr int kPollLimit = 1000000;
  ++polls_;
  auto arriving = keys_at_poll_.find(polls_);
  if (arriving != keys_at_poll_.end()) pending_ += arriving->second;
  if (pending_.empty() && polls_ > kPollLimit) {
    ADD_FAILURE() << "no key ever came";
    pending_ = "!";
  }
  return !pending_.empty();
}

void FakeConsole::ReadKey() {
  if (pending_.empty()) {
    ADD_FAILURE() << "key read with none pending";
    return;
  }
  char key = pending_[0];
  pending_.erase(0, 1);
  g_events.push_back(std::string("read key ") + key);
}

void FakeConsole::Sleep(unsigned milliseconds) {
  g_events.push_back("sleep " + std::to_string(milliseconds));
}
