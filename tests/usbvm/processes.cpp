#include "processes.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "sim/gadget/control_lines.h"

extern char** environ;

namespace usbvm {
namespace {

using Clock = std::chrono::steady_clock;

// fork + execve with stdin, stdout and stderr on the given descriptors (-1:
// /dev/null for stdin). The child only calls async-signal-safe functions.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int in,
            int out, int err) {
  std::vector<std::string> envCopy;
  for (char** e = environ; *e != nullptr; ++e) envCopy.emplace_back(*e);
  envCopy.insert(envCopy.end(), env.begin(), env.end());
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envs;
  for (const std::string& e : envCopy) envs.push_back(const_cast<char*>(e.c_str()));
  envs.push_back(nullptr);
  const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in >= 0 ? in : devNull, 0);
    dup2(out, 1);
    dup2(err, 2);
    execve(args[0], args.data(), envs.data());
    _exit(127);
  }
  close(devNull);
  return pid;
}

int Reap(pid_t pid, int timeoutMs) {
  const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > until) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    usleep(5000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

Output Run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
           int timeoutS) {
  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return {};
  const pid_t pid = Spawn(argv, env, -1, outPipe[1], errPipe[1]);
  close(outPipe[1]);
  close(errPipe[1]);
  Output o;
  const auto until = Clock::now() + std::chrono::seconds(timeoutS);
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  while (open > 0 && Clock::now() < until) {
    if (poll(fds, 2, 200) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? o.out : o.err).append(buffer, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (const pollfd& f : fds)
    if (f.fd >= 0) close(f.fd);
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
  o.status = Reap(pid, static_cast<int>(std::max<int64_t>(left.count(), 0)));
  return o;
}

Gadget::Gadget(const std::string& options, const std::vector<std::string>& extra) {
  const char* program = std::getenv("TARNCAM_GADGET");
  std::vector<std::string> argv{program != nullptr ? program : "tarncam-gadget", "--control",
                                "--options", options};
  argv.insert(argv.end(), extra.begin(), extra.end());
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
  pid = Spawn(argv, {}, in[0], out[1], 2);
  close(in[0]);
  close(out[1]);
  toChild = in[1];
  fromChild = out[0];
  reader = std::thread([this] {
    sim::ReadLines(fromChild, [this](std::string line) {
      std::lock_guard<std::mutex> g(mu);
      lines.push_back(std::move(line));
      cv.notify_all();
    });
    std::lock_guard<std::mutex> g(mu);
    ended = true;
    cv.notify_all();
  });
}

Gadget::~Gadget() {
  Send("quit");
  if (toChild >= 0) close(toChild);
  // Quitting unplugs the camera; a gadget that hangs is killed.
  if (pid > 0) Reap(pid, 20000);
  if (reader.joinable()) reader.join();
  if (fromChild >= 0) close(fromChild);
}

bool Gadget::WaitFor(const std::string& prefix, int count, int timeoutMs) {
  std::unique_lock<std::mutex> lk(mu);
  return cv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] {
    int n = 0;
    for (const std::string& l : lines) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
    return n >= count || ended;
  }) && !ended;
}

int Gadget::Count(const std::string& prefix) {
  std::lock_guard<std::mutex> g(mu);
  int n = 0;
  for (const std::string& l : lines) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

void Gadget::Send(const std::string& line) {
  if (toChild < 0) return;
  const std::string text = line + "\n";
  (void)!write(toChild, text.data(), text.size());
}

std::map<std::string, double> Gadget::Stats() {
  const int before = Count("stats ");
  Send("stats");
  std::map<std::string, double> values;
  if (!WaitFor("stats ", before + 1, 10000)) return values;
  std::string line;
  {
    std::lock_guard<std::mutex> g(mu);
    for (const std::string& l : lines)
      if (l.rfind("stats ", 0) == 0) line = l;
  }
  std::istringstream words(line.substr(6));
  for (std::string w; words >> w;) {
    const size_t eq = w.find('=');
    if (eq != std::string::npos) values[w.substr(0, eq)] = std::atof(w.c_str() + eq + 1);
  }
  return values;
}

std::string Gadget::Transcript() {
  std::lock_guard<std::mutex> g(mu);
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text;
}

}  // namespace usbvm
