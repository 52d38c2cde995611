#include "virtual-board/virtual_board.h"

#include <algorithm>
#include <string>
#include <vector>

#include "virtual-board/board_config.h"
#include "virtual-board/key_typist.h"
#include "virtual-board/pin_model.h"
#include "virtual-board/platform.h"
#include "virtual-board/trace_format.h"
#include "virtual-board/vcd_format.h"

namespace {

// The rates an FT232R accepts.
constexpr std::uint32_t kMinBaudRate = 183;
constexpr std::uint32_t kMaxBaudRate = 3000000;

struct Device {
  bool open = false;
  PinModel pins;
};

struct Board {
  bool ready = false;  // False when the settings are malformed.
  BoardConfig config;
  std::uint32_t calls[kEntryPointCount] = {};
  std::vector<Device> devices;  // Never resized after the start: handles point into it.
  RecordFile trace;
  RecordFile vcd;
  VcdState vcd_state{};

  ~Board();
};

bool OpenRecords(Board* board, std::string* error) {
  const BoardConfig& config = board->config;
  if (!config.trace_path.empty() && !CreateRecordFile(config.trace_path, &board->trace, error)) {
    *error = "VBOARD_TRACE: cannot create " + QuoteInErrorLine(config.trace_path) + ": " + *error;
    return false;
  }
  if (!config.vcd_path.empty()) {
    if (!CreateRecordFile(config.vcd_path, &board->vcd, error)) {
      *error = "VBOARD_VCD: cannot create " + QuoteInErrorLine(config.vcd_path) + ": " + *error;
      return false;
    }
    // All pins are inputs until a bit mode is set.
    std::string header = VcdHeader(config.inputs, &board->vcd_state, MonotonicNs());
    if (!AppendRecord(board->vcd, header)) {
      *error = "VBOARD_VCD: cannot write to " + QuoteInErrorLine(config.vcd_path);
      return false;
    }
  }
  return true;
}

void StartBoard(Board* board) {
  std::string error;
  if (!ParseBoardConfig(ReadBoardVariables(), &board->config, &error) ||
      !PrepareKeyTypist(board->config, &error) || !OpenRecords(board, &error)) {
    ReportError(error);
    return;
  }
  board->devices.reserve(board->config.devices);
  for (std::uint32_t i = 0; i < board->config.devices; ++i) {
    board->devices.push_back({false, PinModel(board->config.inputs, board->config.clock_factor)});
  }
  board->ready = true;
}

Board& TheBoard() {
  static Board board;
  static bool started = false;
  if (!started) {
    started = true;
    StartBoard(&board);
  }
  return board;
}

// A failed record write is told once and ends that record: a file with a
// hole in it would mislead more than one that stops.
void AppendOrStop(RecordFile* file, const char* variable, const std::string& record) {
  if (!AppendRecord(*file, record)) {
    ReportError(std::string(variable) + ": writing failed; no more records are written");
    file->native = -1;
  }
}

// The board's run ends with the process, when it exits (a signal that ends
// it runs no destructor). The waveform's closing time stamp lies then, or
// after the last byte written has had its byte clock, whichever is later.
Board::~Board() {
  if (!ready) return;
  std::uint64_t end = MonotonicNs();
  if (!devices.empty()) end = std::max(end, devices[0].pins.OutputEndNs());
  AppendOrStop(&vcd, "VBOARD_VCD", VcdEnd(end, &vcd_state));
}

Device* FindDevice(Board& board, DeviceHandle handle) {
  for (Device& device : board.devices) {
    if (&device == handle && device.open) return &device;
  }
  return nullptr;
}

// Only the first device's pins are in the waveform: it is the board under test.
void RecordLevels(Board& board, const Device& device, const std::vector<PinLevels>& changes) {
  if (board.devices.empty() || &device != &board.devices[0]) return;
  AppendOrStop(&board.vcd, "VBOARD_VCD", VcdChanges(changes, &board.vcd_state));
}

void TypeKeysFor(Board& board, EntryPoint entry, std::uint32_t call) {
  std::string keys;
  for (const KeyRule& rule : board.config.keys) {
    if (rule.entry == entry && rule.on_call == call) keys += rule.keys;
  }
  if (keys.empty()) return;
  const std::uint64_t now = MonotonicNs();
  for (char key : keys) AppendOrStop(&board.trace, "VBOARD_TRACE", TraceKeyLine(now, key));
  if (!TypeKeys(board.config, keys)) {
    ReportError(std::string("VBOARD_KEYS: the keys typed during ") + EntryPointName(entry) + "#" +
                std::to_string(call) + " did not reach the program's input");
  }
}

// What every entry point does around its own work: count the call, take the
// latency, apply a fault rule, trace, type keys. `arguments` are the trace's
// argument fields; `perform` does the work and may add result fields.
template <typename Perform>
DriverStatus RunCall(EntryPoint entry, std::string arguments, Perform perform) {
  Board& board = TheBoard();
  if (!board.ready) return entry == EntryPoint::kOpen ? kOtherError : kInvalidHandle;
  std::uint32_t& count = board.calls[static_cast<int>(entry)];
  if (count < UINT32_MAX) ++count;
  SleepMicroseconds(board.config.latency_us[static_cast<int>(entry)]);
  const std::uint64_t now = MonotonicNs();
  const FaultRule* fault = FindFault(board.config, entry, count);
  DriverStatus status = fault != nullptr ? fault->status : perform(board, now, &arguments);
  AppendOrStop(&board.trace, "VBOARD_TRACE",
               TraceCallLine(now, EntryPointName(entry), status, arguments));
  TypeKeysFor(board, entry, count);
  return status;
}

}  // namespace

namespace virtual_board {

DriverStatus Open(std::int32_t device_index, DeviceHandle* handle) {
  return RunCall(EntryPoint::kOpen, TraceNumber("index", device_index),
                 [&](Board& board, std::uint64_t, std::string*) {
                   if (handle == nullptr) return kInvalidParameter;
                   if (device_index < 0 ||
                       static_cast<std::uint32_t>(device_index) >= board.devices.size()) {
                     return kDeviceNotFound;
                   }
                   Device& device = board.devices[static_cast<std::size_t>(device_index)];
                   device.open = true;
                   *handle = &device;
                   return kDriverOk;
                 });
}

DriverStatus SetBitMode(DeviceHandle handle, std::uint8_t pin_mask, std::uint8_t mode) {
  return RunCall(EntryPoint::kSetBitMode,
                 TraceNumber("mask", pin_mask) + TraceNumber("mode", mode),
                 [&](Board& board, std::uint64_t now, std::string*) {
                   Device* device = FindDevice(board, handle);
                   if (device == nullptr) return kInvalidHandle;
                   RecordLevels(board, *device, {device->pins.SetBitMode(now, pin_mask, mode)});
                   return kDriverOk;
                 });
}

DriverStatus Write(DeviceHandle handle, const void* data, std::uint32_t byte_count,
                   std::uint32_t* bytes_written) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  return RunCall(EntryPoint::kWrite, TraceHexBytes("data", bytes, bytes ? byte_count : 0),
                 [&](Board& board, std::uint64_t now, std::string*) {
                   Device* device = FindDevice(board, handle);
                   if (device == nullptr) return kInvalidHandle;
                   if ((bytes == nullptr && byte_count > 0) || bytes_written == nullptr) {
                     return kInvalidParameter;
                   }
                   RecordLevels(board, *device, device->pins.Write(now, bytes, byte_count));
                   *bytes_written = byte_count;
                   return kDriverOk;
                 });
}

DriverStatus SetBaudRate(DeviceHandle handle, std::uint32_t baud_rate) {
  return RunCall(EntryPoint::kSetBaudRate, TraceNumber("baud", baud_rate),
                 [&](Board& board, std::uint64_t, std::string*) {
                   Device* device = FindDevice(board, handle);
                   if (device == nullptr) return kInvalidHandle;
                   if (baud_rate < kMinBaudRate || baud_rate > kMaxBaudRate) {
                     return kInvalidBaudRate;
                   }
                   device->pins.SetBaudRate(baud_rate);
                   return kDriverOk;
                 });
}

DriverStatus GetBitMode(DeviceHandle handle, std::uint8_t* pin_value) {
  return RunCall(EntryPoint::kGetBitMode, std::string(),
                 [&](Board& board, std::uint64_t now, std::string* arguments) {
                   Device* device = FindDevice(board, handle);
                   if (device == nullptr) return kInvalidHandle;
                   if (pin_value == nullptr) return kInvalidParameter;
                   *pin_value = device->pins.LevelsAt(now);
                   *arguments += TraceNumber("value", *pin_value);
                   return kDriverOk;
                 });
}

}  // namespace virtual_board
