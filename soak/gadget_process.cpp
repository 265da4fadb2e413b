#include "soak/gadget_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>

#include "sim/gadget/control_lines.h"

namespace soak {

bool GadgetProcess::Start(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> argv{program, "--control"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargs;
  for (const std::string& a : argv) cargs.push_back(const_cast<char*>(a.c_str()));
  cargs.push_back(nullptr);
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return false;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return false;
  }
  pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    dup2(in[0], 0);
    dup2(out[1], 1);
    execv(cargs[0], cargs.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  toChild = in[1];
  fromChild = out[0];
  if (pid < 0) return false;
  reader = std::thread([this] {
    sim::ReadLines(fromChild, [this](const std::string& line) {
      const std::string word = line.substr(0, line.find(' '));
      std::lock_guard<std::mutex> g(mu);
      ++counts[word];
      last[word] = line;
      // Events of more than one word ("abort ignored") are counted whole
      // too; answers with values are not.
      if (word != line && line.find('=') == std::string::npos) ++counts[line];
      tail.push_back(line);
      if (tail.size() > 40) tail.pop_front();
      cv.notify_all();
    });
    std::lock_guard<std::mutex> g(mu);
    ended = true;
    cv.notify_all();
  });
  return true;
}

std::map<std::string, double> GadgetProcess::Quit() {
  if (pid > 0) {
    Send("quit");
    close(toChild);
    toChild = -1;
    // Quitting takes the device off the bus first; one that hangs is killed.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > until) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      usleep(5000);
    }
    pid = -1;
  }
  if (reader.joinable()) reader.join();
  if (fromChild >= 0) close(fromChild);
  fromChild = -1;
  std::lock_guard<std::mutex> g(mu);
  return ParseStats(last["stats"]);
}

GadgetProcess::~GadgetProcess() { Quit(); }

void GadgetProcess::Send(const std::string& line) {
  const std::string text = line + "\n";
  std::lock_guard<std::mutex> g(mu);
  if (toChild >= 0) (void)!write(toChild, text.data(), text.size());
}

bool GadgetProcess::WaitFor(const std::string& word, uint64_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lk(mu);
  return cv.wait_for(lk, std::chrono::milliseconds(timeoutMs),
                     [&] { return counts[word] >= count || ended; }) &&
         counts[word] >= count;
}

uint64_t GadgetProcess::Count(const std::string& word) {
  std::lock_guard<std::mutex> g(mu);
  return counts[word];
}

std::string GadgetProcess::Ask(const std::string& request, const std::string& word,
                               int timeoutMs) {
  std::lock_guard<std::mutex> asking(sendMu);
  const uint64_t before = Count(word);
  Send(request);
  if (!WaitFor(word, before + 1, timeoutMs)) return "";
  std::lock_guard<std::mutex> g(mu);
  return last[word];
}

std::string GadgetProcess::Tail() {
  std::lock_guard<std::mutex> g(mu);
  std::string text;
  for (const std::string& l : tail) text += "    " + l + "\n";
  return text;
}

std::map<std::string, double> ParseStats(const std::string& line) {
  std::map<std::string, double> values;
  std::istringstream words(line);
  for (std::string w; words >> w;) {
    const size_t eq = w.find('=');
    if (eq != std::string::npos) values[w.substr(0, eq)] = std::atof(w.c_str() + eq + 1);
  }
  return values;
}

}  // namespace soak
