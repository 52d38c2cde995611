#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "virtual-board/platform.h"

extern char** environ;

std::uint64_t MonotonicNs() {
  timespec now{};
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ULL +
         static_cast<std::uint64_t>(now.tv_nsec);
}

void SleepMicroseconds(std::uint32_t microseconds) {
  if (microseconds == 0) return;
  // An absolute deadline, so that a signal that interrupts the sleep does not
  // make it longer when it is resumed.
  timespec deadline{};
  if (clock_gettime(CLOCK_MONOTONIC, &deadline) != 0) return;
  std::uint64_t nanoseconds =
      static_cast<std::uint64_t>(deadline.tv_nsec) + std::uint64_t{microseconds} * 1000ULL;
  deadline.tv_sec += static_cast<time_t>(nanoseconds / 1000000000ULL);
  deadline.tv_nsec = static_cast<long>(nanoseconds % 1000000000ULL);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

BoardVariables ReadBoardVariables() {
  BoardVariables variables;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const char* text = *entry;
    if (std::strncmp(text, "VBOARD_", 7) != 0) continue;
    const char* equals = std::strchr(text, '=');
    if (equals == nullptr) continue;
    variables.emplace_back(std::string(text, equals), std::string(equals + 1));
  }
  return variables;
}

bool CreateRecordFile(const std::string& path, RecordFile* file, std::string* error) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  file->native = fd;
  return true;
}

bool AppendRecord(const RecordFile& file, const std::string& record) {
  if (file.native < 0) return true;
  ssize_t written;
  do {
    written = write(static_cast<int>(file.native), record.data(), record.size());
  } while (written < 0 && errno == EINTR);
  return written == static_cast<ssize_t>(record.size());
}

void ReportError(const std::string& line) {
  std::string text = "virtual board: " + line + "\n";
  ssize_t written = write(STDERR_FILENO, text.data(), text.size());
  (void)written;  // Nothing is left to tell the error to.
}
