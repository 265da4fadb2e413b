#pragma once
// The host's side of the gadget's control lines: tarncam-gadget --control
// prints one event line at a time on its stdout. The soak and the USB tests
// read them alike.

#include <unistd.h>

#include <string>

namespace sim {

// Reads `fd` until end of file or an error, handing each complete line
// (without its newline) to `onLine`; a last line without a newline is
// dropped, as the gadget ends every line.
template <typename OnLine>
void ReadLines(int fd, OnLine onLine) {
  std::string partial;
  char buffer[1024];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    partial.append(buffer, static_cast<size_t>(n));
    for (size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
      onLine(partial.substr(0, nl));
      partial.erase(0, nl + 1);
    }
  }
}

}  // namespace sim
