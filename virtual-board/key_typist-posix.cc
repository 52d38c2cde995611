#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "virtual-board/key_typist.h"
#include "virtual-board/platform.h"

namespace {

// Only a safety net: in a non-canonical terminal or a pipe the keys are
// readable at once. A terminal left in line mode would never show them.
constexpr int kReadableTimeoutMs = 5000;

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

bool WaitUntilInputReadable() {
  const std::uint64_t deadline = MonotonicNs() + kReadableTimeoutMs * 1000000ULL;
  while (true) {
    std::uint64_t now = MonotonicNs();
    if (now >= deadline) return false;
    pollfd input = {STDIN_FILENO, POLLIN, 0};
    int ready = poll(&input, 1, static_cast<int>((deadline - now) / 1000000ULL) + 1);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

}  // namespace

bool PrepareKeyTypist(const BoardConfig& config, std::string* error) {
  if (config.keys.empty()) return true;
  if (config.key_fd < 0) {
    *error = "VBOARD_KEYS: typing keys needs VBOARD_KEY_FD, the writing side of the program's input";
    return false;
  }
  if (fcntl(config.key_fd, F_GETFL) < 0) {
    *error = "VBOARD_KEY_FD: " + std::to_string(config.key_fd) + " is not an open file descriptor";
    return false;
  }
  return true;
}

bool TypeKeys(const BoardConfig& config, const std::string& keys) {
  if (!WriteAll(config.key_fd, keys)) return false;
  return WaitUntilInputReadable();
}
