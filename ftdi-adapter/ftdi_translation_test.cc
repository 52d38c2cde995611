#include "ftdi-adapter/ftdi_translation.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <vector>

namespace ftdi_adapter {
namespace {

// A stand-in for libftdi1 that keeps what it was asked and answers as told.
// It copies the one piece of libftdi1's behaviour that the adapter works
// around: ftdi_set_baudrate multiplies the rate by 4 while bit-bang is on.
struct FakeFtdi {
  int init_result = 0;
  int find_result = 0;  // Used only when negative.
  int listed_devices = 0;
  int open_result = 0;
  int purge_result = 0;
  int baudrate_result = 0;
  int bitmode_result = 0;
  std::deque<int> write_results;  // When empty, a write sends everything.
  int read_pins_result = 0;
  unsigned char pins = 0;

  int init_calls = 0;
  int deinit_calls = 0;
  int find_calls = 0;
  int list_free_calls = 0;
  int calls_after_init = 0;  // Every call that needs a context.
  int find_vendor = -1;
  int find_product = -1;
  int opened_device = -1;
  int purged_device = -1;  // The device open when both buffers were purged.
  std::vector<int> chip_rates;  // The rate each set_baudrate sent the chip.
  unsigned char mask = 0;
  unsigned char mode = 0;
  std::vector<unsigned char> sent;
  std::vector<int> write_sizes;
  ftdi_context* context = nullptr;  // The context of the last bit mode call.

  libusb_device* devices[4] = {};  // Tokens only; never dereferenced.
  unsigned char device_tokens[4] = {};
};

FakeFtdi* g_fake = nullptr;

int FakeIndexOf(libusb_device* dev) {
  for (int i = 0; i < 4; ++i) {
    if (g_fake->devices[i] == dev) return i;
  }
  return -1;
}

const FtdiCalls kFakeCalls = {
    [](ftdi_context*) {
      ++g_fake->init_calls;
      return g_fake->init_result;
    },
    [](ftdi_context*) { ++g_fake->deinit_calls; },
    [](ftdi_context*, ftdi_device_list** list, int vendor, int product) {
      ++g_fake->find_calls;
      ++g_fake->calls_after_init;
      g_fake->find_vendor = vendor;
      g_fake->find_product = product;
      *list = nullptr;
      if (g_fake->find_result < 0) return g_fake->find_result;
      for (int i = g_fake->listed_devices - 1; i >= 0; --i) {
        *list = new ftdi_device_list{*list, g_fake->devices[i]};
      }
      return g_fake->listed_devices;
    },
    [](ftdi_device_list** list) {
      ++g_fake->list_free_calls;
      while (*list != nullptr) {
        ftdi_device_list* next = (*list)->next;
        delete *list;
        *list = next;
      }
    },
    [](ftdi_context*, libusb_device* dev) {
      ++g_fake->calls_after_init;
      g_fake->opened_device = FakeIndexOf(dev);
      return g_fake->open_result;
    },
    [](ftdi_context*) {
      ++g_fake->calls_after_init;
      g_fake->purged_device = g_fake->opened_device;
      return g_fake->purge_result;
    },
    [](ftdi_context* ftdi, int baudrate) {
      ++g_fake->calls_after_init;
      g_fake->chip_rates.push_back(ftdi->bitbang_enabled ? baudrate * 4 : baudrate);
      return g_fake->baudrate_result;
    },
    [](ftdi_context* ftdi, unsigned char bitmask, unsigned char mode) {
      ++g_fake->calls_after_init;
      g_fake->context = ftdi;
      g_fake->mask = bitmask;
      g_fake->mode = mode;
      if (g_fake->bitmode_result != 0) return g_fake->bitmode_result;
      ftdi->bitbang_enabled = mode == BITMODE_RESET ? 0 : 1;
      return 0;
    },
    [](ftdi_context*, const unsigned char* buf, int size) {
      ++g_fake->calls_after_init;
      g_fake->write_sizes.push_back(size);
      int result = size;
      if (!g_fake->write_results.empty()) {
        result = g_fake->write_results.front();
        g_fake->write_results.pop_front();
      }
      if (result > 0 && result <= size) g_fake->sent.insert(g_fake->sent.end(), buf, buf + result);
      return result;
    },
    [](ftdi_context*, unsigned char* pins) {
      ++g_fake->calls_after_init;
      *pins = g_fake->pins;
      return g_fake->read_pins_result;
    },
};

class FtdiTranslationTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetFake(); }
  void ResetFake() {
    fake_ = FakeFtdi{};
    for (int i = 0; i < 4; ++i) {
      fake_.devices[i] = reinterpret_cast<libusb_device*>(&fake_.device_tokens[i]);
    }
    g_fake = &fake_;
  }
  void TearDown() override { g_fake = nullptr; }

  // Opens device 0 of one listed device and forgets the calls so far.
  DeviceHandle OpenOne() {
    fake_.listed_devices = 1;
    DeviceHandle handle = nullptr;
    EXPECT_EQ(Open(kFakeCalls, 0, &handle), kDriverOk);
    fake_.calls_after_init = 0;
    return handle;
  }

  FakeFtdi fake_;
};

TEST_F(FtdiTranslationTest, OpensTheDeviceAtTheIndexAmongTheDefaultIds) {
  struct Case {
    int listed;
    std::int32_t index;
    DriverStatus status;
  };
  const Case cases[] = {
      {2, 0, kDriverOk},      {3, 2, kDriverOk},       {1, 1, kDeviceNotFound},
      {0, 0, kDeviceNotFound}, {2, -1, kDeviceNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.listed << " listed, index " << c.index);
    ResetFake();
    fake_.listed_devices = c.listed;
    DeviceHandle handle = nullptr;
    EXPECT_EQ(Open(kFakeCalls, c.index, &handle), c.status);
    EXPECT_EQ(fake_.list_free_calls, fake_.find_calls);
    if (c.status == kDriverOk) {
      EXPECT_EQ(fake_.opened_device, c.index);
      EXPECT_EQ(fake_.purged_device, c.index);
      EXPECT_EQ(fake_.find_vendor, 0);
      EXPECT_EQ(fake_.find_product, 0);
      EXPECT_NE(handle, nullptr);
      EXPECT_EQ(fake_.deinit_calls, 0);
    } else {
      EXPECT_EQ(fake_.opened_device, -1);
      EXPECT_EQ(fake_.purged_device, -1);
      EXPECT_EQ(handle, nullptr);
      EXPECT_EQ(fake_.deinit_calls, fake_.init_calls);
    }
  }
}

TEST_F(FtdiTranslationTest, MapsOpenFailuresToTheDriverStatuses) {
  struct Case {
    const char* what;
    int init_result;
    int find_result;
    int open_result;
    int purge_result;
    DriverStatus status;
  };
  const Case cases[] = {
      {"no usable USB subsystem", -3, 0, 0, 0, kDeviceNotFound},
      {"no memory for the context", -1, 0, 0, 0, kInsufficientResources},
      {"no memory for the list", 0, -3, 0, 0, kInsufficientResources},
      {"device list unreadable", 0, -5, 0, 0, kIoError},
      {"no permission", 0, 0, -4, 0, kDeviceNotOpened},
      {"claimed by another program", 0, 0, -5, 0, kDeviceNotOpened},
      {"ftdi_sio not detached", 0, 0, -11, 0, kDeviceNotOpened},
      {"no answer to the reset", 0, 0, -6, 0, kIoError},
      {"no answer to the first baud rate", 0, 0, -7, 0, kIoError},
      {"no answer to the purge", 0, 0, 0, -1, kIoError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetFake();
    fake_.listed_devices = 1;
    fake_.init_result = c.init_result;
    fake_.find_result = c.find_result;
    fake_.open_result = c.open_result;
    fake_.purge_result = c.purge_result;
    DeviceHandle handle = nullptr;
    EXPECT_EQ(Open(kFakeCalls, 0, &handle), c.status);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(fake_.deinit_calls, 1);
    EXPECT_EQ(fake_.list_free_calls, fake_.find_calls);
    if (c.init_result != 0) {
      EXPECT_EQ(fake_.calls_after_init, 0);
    }
  }
}

TEST_F(FtdiTranslationTest, OpenWithoutAPlaceForTheHandleIsAnInvalidParameter) {
  fake_.listed_devices = 1;
  EXPECT_EQ(Open(kFakeCalls, 0, nullptr), kInvalidParameter);
  EXPECT_EQ(fake_.init_calls, 0);
}

TEST_F(FtdiTranslationTest, RefusesEveryHandleThatOpenDidNotGive) {
  DeviceHandle opened = OpenOne();
  unsigned char not_a_device[sizeof(ftdi_context) + 64] = {};
  // A failed open leaves no handle behind either.
  fake_.open_result = -5;
  DeviceHandle after_failure = nullptr;
  ASSERT_EQ(Open(kFakeCalls, 0, &after_failure), kDeviceNotOpened);

  const DeviceHandle foreign[] = {nullptr, not_a_device, static_cast<char*>(opened) + 1};
  for (DeviceHandle handle : foreign) {
    unsigned char byte = 0;
    std::uint32_t written = 0;
    EXPECT_EQ(SetBaudRate(kFakeCalls, handle, 115200), kInvalidHandle);
    EXPECT_EQ(SetBitMode(kFakeCalls, handle, 0x03, 0x01), kInvalidHandle);
    EXPECT_EQ(Write(kFakeCalls, handle, &byte, 1, &written), kInvalidHandle);
    EXPECT_EQ(GetBitMode(kFakeCalls, handle, &byte), kInvalidHandle);
  }
  EXPECT_EQ(fake_.calls_after_init, 2);  // The failed open's find and open only.
}

TEST_F(FtdiTranslationTest, SendsTheSameBaudRateBeforeAndAfterTheBitMode) {
  DeviceHandle handle = OpenOne();
  ASSERT_EQ(SetBaudRate(kFakeCalls, handle, 115200), kDriverOk);
  ASSERT_EQ(SetBitMode(kFakeCalls, handle, 0x03, 0x01), kDriverOk);
  ASSERT_EQ(SetBaudRate(kFakeCalls, handle, 115200), kDriverOk);
  ASSERT_EQ(SetBaudRate(kFakeCalls, handle, 9601), kDriverOk);
  EXPECT_EQ(fake_.chip_rates, (std::vector<int>{115200, 115200, 9601}));

  // Back in reset mode, where libftdi1 multiplies nothing, the rate is sent as it is too.
  ASSERT_EQ(SetBitMode(kFakeCalls, handle, 0x03, BITMODE_RESET), kDriverOk);
  ASSERT_EQ(SetBaudRate(kFakeCalls, handle, 9600), kDriverOk);
  EXPECT_EQ(fake_.chip_rates.back(), 9600);
}

TEST_F(FtdiTranslationTest, KeepsTheBitModeFlagAcrossARateChange) {
  DeviceHandle handle = OpenOne();
  ASSERT_EQ(SetBitMode(kFakeCalls, handle, 0x03, 0x01), kDriverOk);
  fake_.baudrate_result = -1;
  EXPECT_EQ(SetBaudRate(kFakeCalls, handle, 115200), kInvalidBaudRate);
  ASSERT_NE(fake_.context, nullptr);
  EXPECT_EQ(fake_.context->bitbang_enabled, 1);
}

TEST_F(FtdiTranslationTest, MapsBaudRateFailures) {
  DeviceHandle handle = OpenOne();
  fake_.baudrate_result = -1;
  EXPECT_EQ(SetBaudRate(kFakeCalls, handle, 3), kInvalidBaudRate);
  fake_.baudrate_result = -2;
  EXPECT_EQ(SetBaudRate(kFakeCalls, handle, 115200), kIoError);
  const int calls_so_far = fake_.calls_after_init;
  // Rates that libftdi1's int cannot carry never reach it.
  EXPECT_EQ(SetBaudRate(kFakeCalls, handle, 0), kInvalidBaudRate);
  EXPECT_EQ(SetBaudRate(kFakeCalls, handle, 0x80000000u), kInvalidBaudRate);
  EXPECT_EQ(fake_.calls_after_init, calls_so_far);
}

TEST_F(FtdiTranslationTest, PassesMaskAndModeAndMapsBitModeFailure) {
  DeviceHandle handle = OpenOne();
  EXPECT_EQ(SetBitMode(kFakeCalls, handle, 0x03, 0x01), kDriverOk);
  EXPECT_EQ(fake_.mask, 0x03);
  EXPECT_EQ(fake_.mode, 0x01);
  fake_.bitmode_result = -1;
  EXPECT_EQ(SetBitMode(kFakeCalls, handle, 0xff, 0x04), kIoError);
}

TEST_F(FtdiTranslationTest, WritesEveryByteOrFails) {
  const unsigned char pattern[16] = {2, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1};
  struct Case {
    const char* what;
    std::deque<int> results;
    DriverStatus status;
    std::uint32_t written;
  };
  const Case cases[] = {
      {"all at once", {}, kDriverOk, 16},
      {"short, then the rest", {5, 11}, kDriverOk, 16},
      {"short, then a failure", {5, -1}, kIoError, 5},
      {"nothing moved", {0}, kIoError, 0},
      {"a failed transfer", {-1}, kIoError, 0},
      {"more than asked", {17}, kIoError, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetFake();
    DeviceHandle handle = OpenOne();
    fake_.write_results = c.results;
    std::uint32_t written = 99;
    EXPECT_EQ(Write(kFakeCalls, handle, pattern, 16, &written), c.status);
    EXPECT_EQ(written, c.written);
    if (c.status == kDriverOk) {
      EXPECT_EQ(fake_.sent, std::vector<unsigned char>(pattern, pattern + 16));
    }
  }
}

TEST_F(FtdiTranslationTest, WriteChecksItsArguments) {
  DeviceHandle handle = OpenOne();
  std::uint32_t written = 99;
  EXPECT_EQ(Write(kFakeCalls, handle, nullptr, 1, &written), kInvalidParameter);
  EXPECT_EQ(Write(kFakeCalls, handle, nullptr, 0, &written), kDriverOk);
  EXPECT_EQ(written, 0u);
  const unsigned char byte = 3;
  EXPECT_EQ(Write(kFakeCalls, handle, &byte, 1, nullptr), kDriverOk);
  EXPECT_EQ(fake_.sent, std::vector<unsigned char>{3});
  EXPECT_EQ(fake_.write_sizes, std::vector<int>{1});
}

TEST_F(FtdiTranslationTest, ReadsThePins) {
  DeviceHandle handle = OpenOne();
  fake_.pins = 0xa5;
  std::uint8_t value = 0;
  EXPECT_EQ(GetBitMode(kFakeCalls, handle, &value), kDriverOk);
  EXPECT_EQ(value, 0xa5);

  fake_.read_pins_result = -1;
  value = 0x11;
  EXPECT_EQ(GetBitMode(kFakeCalls, handle, &value), kIoError);
  EXPECT_EQ(value, 0x11);
  EXPECT_EQ(GetBitMode(kFakeCalls, handle, nullptr), kInvalidParameter);
}

}  // namespace
}  // namespace ftdi_adapter
