#include <windows.h>

#include <cstring>

#include "virtual-board/platform.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

std::uint64_t MonotonicNs() {
  LARGE_INTEGER frequency, counter;
  if (!QueryPerformanceFrequency(&frequency) || !QueryPerformanceCounter(&counter)) return 0;
  const std::uint64_t ticks = static_cast<std::uint64_t>(counter.QuadPart);
  const std::uint64_t per_second = static_cast<std::uint64_t>(frequency.QuadPart);
  return ticks / per_second * 1000000000ULL + ticks % per_second * 1000000000ULL / per_second;
}

void SleepMicroseconds(std::uint32_t microseconds) {
  if (microseconds == 0) return;
  // Sleep() rounds up to the 15.6 ms timer tick; a high-resolution waitable
  // timer keeps sub-millisecond latencies close to what was asked.
  HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                        TIMER_ALL_ACCESS);
  if (timer == nullptr) {
    Sleep((microseconds + 999) / 1000);
    return;
  }
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(microseconds) * 10;  // Relative, in 100 ns units.
  if (!SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) ||
      WaitForSingleObject(timer, INFINITE) != WAIT_OBJECT_0) {
    Sleep((microseconds + 999) / 1000);
  }
  CloseHandle(timer);
}

BoardVariables ReadBoardVariables() {
  BoardVariables variables;
  char* block = GetEnvironmentStringsA();
  if (block == nullptr) return variables;
  for (const char* text = block; *text != '\0'; text += std::strlen(text) + 1) {
    if (std::strncmp(text, "VBOARD_", 7) != 0) continue;
    const char* equals = std::strchr(text, '=');
    if (equals == nullptr) continue;
    variables.emplace_back(std::string(text, equals), std::string(equals + 1));
  }
  FreeEnvironmentStringsA(block);
  return variables;
}

bool CreateRecordFile(const std::string& path, RecordFile* file, std::string* error) {
  HANDLE handle = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = "error " + std::to_string(GetLastError());
    return false;
  }
  file->native = reinterpret_cast<std::intptr_t>(handle);
  return true;
}

bool AppendRecord(const RecordFile& file, const std::string& record) {
  if (file.native == -1) return true;
  DWORD written = 0;
  BOOL ok = WriteFile(reinterpret_cast<HANDLE>(file.native), record.data(),
                      static_cast<DWORD>(record.size()), &written, nullptr);
  return ok && written == record.size();
}

void ReportError(const std::string& line) {
  std::string text = "virtual board: " + line + "\r\n";
  DWORD written = 0;
  HANDLE error_output = GetStdHandle(STD_ERROR_HANDLE);
  if (error_output == nullptr || error_output == INVALID_HANDLE_VALUE) return;
  // A failed write has nowhere left to be told.
  WriteFile(error_output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}
