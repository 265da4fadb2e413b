#pragma once
// Child programs for the USB scenarios: the simulated camera as a USB device
// (tarncam-gadget, driven through its control lines) and one-shot runs of
// the tool and other programs, every wait bounded.

#include <sys/types.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace usbvm {

struct Output {
  int status = -1;  // exit status; -1 when killed (timeout or signal)
  std::string out;
  std::string err;
};

// Runs argv[0] (a path) with `env` added to this process's environment;
// kills it after `timeoutS`.
Output Run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
           int timeoutS = 120);

// tarncam-gadget in the background, presenting a camera with the simulator
// `options` ("scene=test-pattern,blank=1"). Quits it when destroyed.
class Gadget {
 public:
  explicit Gadget(const std::string& options, const std::vector<std::string>& extra = {});
  ~Gadget();
  Gadget(const Gadget&) = delete;
  Gadget& operator=(const Gadget&) = delete;

  // Waits until `count` lines starting with `prefix` have been printed.
  bool WaitFor(const std::string& prefix, int count = 1, int timeoutMs = 30000);
  int Count(const std::string& prefix);
  void Send(const std::string& line);
  // The model's counters, fresh ("reads", "aborts", "guide_x", ...).
  std::map<std::string, double> Stats();
  std::string Transcript();

 private:
  pid_t pid = -1;
  int toChild = -1;
  int fromChild = -1;
  std::thread reader;
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> lines;
  bool ended = false;
};

}  // namespace usbvm
