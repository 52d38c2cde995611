// The adapter's translation, driven by random sequences of the five calls
// with random arguments, over a stand-in for libftdi1 whose every call may
// fail, as the input decides.
//
// Checked: every status is one that the adapter documents for its call; a
// handle that no successful open gave (the one left in place by a failed
// open among them) gives 1 and reaches no libftdi1 call; a failed open
// leaves the caller's handle as it was; libftdi1 is called only on a
// context that is initialised and, beyond the search, opened, and never
// after ftdi_deinit; every device list is freed; the baud rate goes out as
// given, whatever the bit mode; a write reports what the chip took and
// succeeds only when it took every byte, in order; a read gives the pins.
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <vector>

#include "ftdi-adapter/ftdi_translation.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

enum class ContextState { kInitialised, kOpened, kClosed };

struct StandIn {
  FuzzInput* input = nullptr;
  std::map<const ftdi_context*, ContextState> contexts;
  int calls = 0;
  int lists = 0;  // Device list entries not freed yet.
  libusb_device* devices[4] = {};
  unsigned char device_tokens[4] = {};
  std::int32_t asked_index = 0;

  // The write under way: its bytes, and how many of them the chip took.
  const std::uint8_t* write_data = nullptr;
  std::uint32_t write_size = 0;
  std::uint32_t taken = 0;
  unsigned char pins = 0;
  bool bitbang = false;  // As the last successful bit mode left it.

  // Success most of the time, otherwise one of libftdi1's negative codes.
  int Result() {
    const std::uint8_t byte = input->Byte();
    return byte < 192 ? 0 : -static_cast<int>(byte % 16) - 1;
  }
  void Use(const ftdi_context* context, ContextState needed) {
    ++calls;
    const auto found = contexts.find(context);
    FUZZ_CHECK(found != contexts.end() && found->second == needed);
  }
};

StandIn g_stand_in;

const ftdi_adapter::FtdiCalls kStandInCalls = {
    [](ftdi_context* context) {
      ++g_stand_in.calls;
      // A context is new memory each time, though it may lie where a closed
      // one was.
      const auto found = g_stand_in.contexts.find(context);
      FUZZ_CHECK(found == g_stand_in.contexts.end() || found->second == ContextState::kClosed);
      g_stand_in.contexts[context] = ContextState::kInitialised;
      return g_stand_in.Result();
    },
    [](ftdi_context* context) {
      ++g_stand_in.calls;
      const auto found = g_stand_in.contexts.find(context);
      FUZZ_CHECK(found != g_stand_in.contexts.end() && found->second != ContextState::kClosed);
      found->second = ContextState::kClosed;
    },
    [](ftdi_context* context, ftdi_device_list** list, int vendor, int product) {
      g_stand_in.Use(context, ContextState::kInitialised);
      FUZZ_CHECK(vendor == 0 && product == 0);  // libftdi1's default ids.
      *list = nullptr;
      const int result = g_stand_in.Result();
      // A failed search may leave part of a list behind.
      const int listed = g_stand_in.input->Byte() % 5;
      for (int i = listed - 1; i >= 0; --i) {
        *list = new ftdi_device_list{*list, g_stand_in.devices[i]};
        ++g_stand_in.lists;
      }
      return result < 0 ? result : listed;
    },
    [](ftdi_device_list** list) {
      ++g_stand_in.calls;
      while (*list != nullptr) {
        ftdi_device_list* next = (*list)->next;
        delete *list;
        --g_stand_in.lists;
        *list = next;
      }
    },
    [](ftdi_context* context, libusb_device* device) {
      g_stand_in.Use(context, ContextState::kInitialised);
      FUZZ_CHECK(g_stand_in.asked_index < 4 &&
                 device == g_stand_in.devices[g_stand_in.asked_index]);
      const int result = g_stand_in.Result();
      if (result == 0) g_stand_in.contexts[context] = ContextState::kOpened;
      return result;
    },
    [](ftdi_context* context) {
      g_stand_in.Use(context, ContextState::kOpened);
      return g_stand_in.Result();
    },
    [](ftdi_context* context, int baudrate) {
      g_stand_in.Use(context, ContextState::kOpened);
      FUZZ_CHECK(context->bitbang_enabled == 0 && baudrate > 0);
      return g_stand_in.Result();
    },
    [](ftdi_context* context, unsigned char, unsigned char mode) {
      g_stand_in.Use(context, ContextState::kOpened);
      const int result = g_stand_in.Result();
      if (result == 0) context->bitbang_enabled = mode == BITMODE_RESET ? 0 : 1;
      return result;
    },
    [](ftdi_context* context, const unsigned char* buffer, int size) {
      g_stand_in.Use(context, ContextState::kOpened);
      StandIn& s = g_stand_in;
      FUZZ_CHECK(size > 0 && static_cast<std::uint32_t>(size) <= s.write_size - s.taken);
      FUZZ_CHECK(std::equal(buffer, buffer + size, s.write_data + s.taken));
      // All, a part, nothing, an error, or more than asked (a broken count).
      const std::uint8_t choice = s.input->Byte();
      int result = size;
      if (choice >= 128 && choice < 192) result = 1 + s.input->Byte() % size;
      if (choice >= 192) result = choice < 208 ? 0 : choice < 240 ? -(choice % 8) - 1 : size + 1;
      if (result > 0 && result <= size) s.taken += static_cast<std::uint32_t>(result);
      return result;
    },
    [](ftdi_context* context, unsigned char* pins) {
      g_stand_in.Use(context, ContextState::kOpened);
      *pins = g_stand_in.pins = g_stand_in.input->Byte();
      return g_stand_in.Result();
    },
};

bool IsOneOf(DriverStatus status, std::initializer_list<DriverStatus> statuses) {
  return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace adapter = ftdi_adapter;
  const adapter::FtdiCalls& calls = kStandInCalls;
  FuzzInput input(data, size);
  g_stand_in = StandIn{};
  g_stand_in.input = &input;
  for (int i = 0; i < 4; ++i) {
    g_stand_in.devices[i] = reinterpret_cast<libusb_device*>(&g_stand_in.device_tokens[i]);
  }

  std::vector<DeviceHandle> handles;    // From successful opens.
  std::vector<DeviceHandle> left_over;  // What failed opens left in place.
  unsigned char not_a_handle = 0;
  for (int steps = 0; !input.empty() && steps < 32; ++steps) {
    // A handle as a caller might pass it: one that an open gave, one that a
    // failed open left, null, or some other address.
    DeviceHandle handle = nullptr;
    const std::uint8_t pick = input.Byte();
    if (pick % 4 == 0 && !handles.empty()) handle = handles[pick / 4 % handles.size()];
    if (pick % 4 == 1 && !left_over.empty()) handle = left_over[pick / 4 % left_over.size()];
    if (pick % 4 == 2) handle = &not_a_handle;
    const bool valid = std::find(handles.begin(), handles.end(), handle) != handles.end();
    const int calls_before = g_stand_in.calls;
    DriverStatus status = 0;

    switch (input.Byte() % 5) {
      case 0: {
        const std::int32_t index = static_cast<std::int8_t>(input.Byte()) % 6;
        const bool no_place = input.Byte() % 8 == 0;
        g_stand_in.asked_index = index;
        DeviceHandle opened = handle;
        status = adapter::Open(calls, index, no_place ? nullptr : &opened);
        FUZZ_CHECK(IsOneOf(status, {0, 2, 3, 4, 5, 6}));
        FUZZ_CHECK((status == 6) == no_place);
        FUZZ_CHECK(index >= 0 || status == 2 || no_place);
        FUZZ_CHECK(g_stand_in.lists == 0);
        if (status == 0) {
          FUZZ_CHECK(std::find(handles.begin(), handles.end(), opened) == handles.end());
          handles.push_back(opened);
        } else {
          FUZZ_CHECK(opened == handle);
          left_over.push_back(opened);
        }
        continue;
      }
      case 1:
        status = adapter::SetBaudRate(calls, handle, input.Uint32());
        FUZZ_CHECK(IsOneOf(status, {0, 1, 4, 7}));
        break;
      case 2:
        status = adapter::SetBitMode(calls, handle, input.Byte(), input.Byte());
        FUZZ_CHECK(IsOneOf(status, {0, 1, 4}));
        break;
      case 3: {
        const std::vector<std::uint8_t> bytes = input.Bytes(64);
        const std::uint8_t shape = input.Byte();
        const bool no_data = shape % 8 == 0, no_count = shape % 8 == 1;
        const auto count = static_cast<std::uint32_t>(bytes.size());
        std::uint32_t written = 0xDEADBEEF;
        g_stand_in.write_data = no_data ? nullptr : bytes.data();
        g_stand_in.write_size = count;
        g_stand_in.taken = 0;
        status = adapter::Write(calls, handle, no_data ? nullptr : bytes.data(), count,
                                no_count ? nullptr : &written);
        FUZZ_CHECK(IsOneOf(status, {0, 1, 4, 6}));
        FUZZ_CHECK((status == 6) == (valid && no_data && count > 0));
        if (valid && !no_count) FUZZ_CHECK(written == g_stand_in.taken);
        if (status == 0) FUZZ_CHECK(g_stand_in.taken == count);
        break;
      }
      default: {
        const bool no_place = input.Byte() % 8 == 0;
        std::uint8_t value = 0;
        status = adapter::GetBitMode(calls, handle, no_place ? nullptr : &value);
        FUZZ_CHECK(IsOneOf(status, {0, 1, 4, 6}));
        FUZZ_CHECK((status == 6) == (valid && no_place));
        if (status == 0) FUZZ_CHECK(value == g_stand_in.pins);
        break;
      }
    }
    FUZZ_CHECK((status == 1) == !valid);
    if (!valid) FUZZ_CHECK(g_stand_in.calls == calls_before);
  }
  adapter::CloseAll(calls);
  for (const auto& context : g_stand_in.contexts) {
    FUZZ_CHECK(context.second == ContextState::kClosed);
  }
  return 0;
}
