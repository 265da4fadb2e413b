#pragma once
// tarncam-gadget as a child of the soak (--gadget): the simulated camera as a
// USB device on this machine's device controller (the USB test VM's
// dummy_hcd), driven through its control lines on stdin and read through its
// event lines on stdout. Every wait is bounded.

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace soak {

class GadgetProcess {
 public:
  // Starts `program --control` with `args`; false when it cannot be started.
  bool Start(const std::string& program, const std::vector<std::string>& args);
  // Asks it to quit and waits (bounded) for its end; returns the counters of
  // its last stats line (the one it prints on the way out). Idempotent.
  std::map<std::string, double> Quit();
  ~GadgetProcess();

  // Thread-safe.
  void Send(const std::string& line);
  // Waits until `count` event lines whose first word is `word` (or, for
  // lines without values, which are `word`) have been printed in all; false
  // on timeout or when the gadget ended.
  bool WaitFor(const std::string& word, uint64_t count, int timeoutMs);
  uint64_t Count(const std::string& word);
  // Sends `request` and waits for the next line whose first word is `word`;
  // "" when none came.
  std::string Ask(const std::string& request, const std::string& word, int timeoutMs = 20000);
  // The last event lines, for a failure report.
  std::string Tail();

 private:
  pid_t pid = -1;
  int toChild = -1;
  int fromChild = -1;
  std::thread reader;
  std::mutex sendMu;  // one request and its answer at a time
  std::mutex mu;
  std::condition_variable cv;
  std::map<std::string, uint64_t> counts;
  std::map<std::string, std::string> last;
  std::deque<std::string> tail;
  bool ended = false;
};

// Counters of a stats line ("stats reads=3 frames=2 ...").
std::map<std::string, double> ParseStats(const std::string& line);

}  // namespace soak
