// indi_probe: a small INDI client on libindi's client library, for the
// driver's end-to-end tests. It connects to a server, asks for the device's
// BLOBs, runs a list of steps and reports on standard output, one line each:
//
//   blob N PROPERTY.ELEMENT FORMAT BYTES PATH   a BLOB arrived (saved to PATH)
//   message TEXT                               a message of the device
//   state PROPERTY STATE SECONDS               a property was defined or set,
//                                              seconds after the probe started
//   sent PROPERTY SECONDS                      a set step went out
//   count N SECONDS                            result of a count step
//   fail WHY                                   a step failed (exit status 1)
//
// Steps, each one argument:
//   set PROP.ELEM=VALUE[;ELEM=VALUE...]   numbers, switches (On/Off) or texts,
//                                         by the property's type
//   wait PROP=STATE                       Idle, Ok, Busy or Alert, reported
//                                         after the last set step was sent
//   gone PROP                             the property was deleted since the
//                                         last set step
//   message TEXT                          a message containing TEXT came
//                                         since the last set step
//   blobs N                               N more BLOBs arrive
//   noblob SECONDS                        no BLOB arrives for that long
//   count SECONDS                         counts the BLOBs of that long
//   sleep SECONDS
//
// Usage: indi_probe --port P [--host H] --device NAME [--out DIR]
//                   [--timeout SECONDS] [--ready FILE] STEP...
// --ready creates FILE once the device is there and BLOBs are asked for.

#include <baseclient.h>
#include <basedevice.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Update {
  uint64_t index;
  std::string state;  // "" for a deletion
};

class Probe : public INDI::BaseClient {
 public:
  Probe(std::string device, std::string outDir) : device_(device), outDir_(outDir) {}

  bool WaitForDevice(double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, Seconds(seconds), [&] { return updates_.count("CONNECTION"); });
  }

  // The property's type once the device has defined it.
  INDI_PROPERTY_TYPE TypeOf(const std::string& name, double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, Seconds(seconds), [&] { return types_.count(name) != 0; });
    auto it = types_.find(name);
    return it == types_.end() ? INDI_UNKNOWN : it->second;
  }

  // Seconds since the probe started.
  double Elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

  void MarkSet() {
    std::lock_guard<std::mutex> lock(mutex_);
    mark_ = counter_;
  }

  bool WaitState(const std::string& name, const std::string& state, double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, Seconds(seconds), [&] {
      for (const Update& u : updates_[name]) {
        if (u.index > mark_ && u.state == state) return true;
      }
      return false;
    });
  }

  bool WaitMessage(const std::string& part, double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, Seconds(seconds), [&] {
      for (const auto& [index, text] : messages_) {
        if (index > mark_ && text.find(part) != std::string::npos) return true;
      }
      return false;
    });
  }

  bool WaitBlobs(uint64_t target, double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, Seconds(seconds), [&] { return blobs_ >= target; });
  }

  uint64_t Blobs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return blobs_;
  }

 protected:
  // BLOBs are asked for from the client library's own thread, which also
  // reads its list of BLOB modes.
  void newDevice(INDI::BaseDevice d) override { setBLOBMode(B_ALSO, d.getDeviceName(), nullptr); }
  void newProperty(INDI::Property p) override { Record(p, false); }
  void updateProperty(INDI::Property p) override { Record(p, false); }
  void removeProperty(INDI::Property p) override { Record(p, true); }
  void newMessage(INDI::BaseDevice d, int id) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string text = d.messageQueue(id);
    messages_.emplace_back(++counter_, text);
    std::printf("message %s\n", text.c_str());
    std::fflush(stdout);
    changed_.notify_all();
  }

 private:
  static std::chrono::duration<double> Seconds(double s) {
    return std::chrono::duration<double>(s);
  }
  void Record(INDI::Property p, bool removed) {
    if (device_ != p.getDeviceName()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string name = p.getName();
    ++counter_;
    if (removed) {
      types_.erase(name);
      updates_[name].push_back({counter_, ""});
      std::printf("gone %s\n", name.c_str());
    } else {
      types_[name] = p.getType();
      updates_[name].push_back({counter_, p.getStateAsString()});
      std::printf("state %s %s %.3f\n", name.c_str(), p.getStateAsString(), Elapsed());
      if (p.getType() == INDI_BLOB) SaveBlobs(p);
    }
    std::fflush(stdout);
    changed_.notify_all();
  }

  void SaveBlobs(INDI::Property p) {
    INDI::PropertyView<IBLOB>* view = p.getBLOB();
    if (view == nullptr) return;
    for (int i = 0; i < view->count(); ++i) {
      INDI::WidgetView<IBLOB>& b = view->widget()[i];
      if (b.getSize() <= 0 || b.getBlob() == nullptr) continue;
      ++blobs_;
      std::string format = b.getFormat();
      while (!format.empty() && format[0] == '.') format.erase(0, 1);
      char path[512];
      std::snprintf(path, sizeof path, "%s/%03llu.%s", outDir_.c_str(),
                    static_cast<unsigned long long>(blobs_), format.c_str());
      if (FILE* f = std::fopen(path, "wb")) {
        std::fwrite(b.getBlob(), 1, static_cast<size_t>(b.getSize()), f);
        std::fclose(f);
      }
      std::printf("blob %llu %s.%s %s %d %s\n", static_cast<unsigned long long>(blobs_),
                  p.getName(), b.getName(), b.getFormat(), b.getSize(), path);
    }
  }

  const Clock::time_point start_ = Clock::now();
  const std::string device_;
  const std::string outDir_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, INDI_PROPERTY_TYPE> types_;
  std::map<std::string, std::vector<Update>> updates_;
  std::vector<std::pair<uint64_t, std::string>> messages_;
  uint64_t counter_ = 0;
  uint64_t mark_ = 0;
  uint64_t blobs_ = 0;
};

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (true) {
    const size_t end = text.find(separator, at);
    parts.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) return parts;
    at = end + 1;
  }
}

[[noreturn]] void Fail(const std::string& why) {
  std::printf("fail %s\n", why.c_str());
  std::fflush(stdout);
  std::exit(1);
}

// "set PROP.E1=V1;E2=V2": one new-vector message with those elements.
void Set(Probe& probe, const std::string& device, const std::string& assignment, double timeout) {
  const size_t dot = assignment.find('.');
  if (dot == std::string::npos) Fail("bad set: " + assignment);
  const std::string property = assignment.substr(0, dot);
  std::vector<std::pair<std::string, std::string>> items;
  for (const std::string& item : Split(assignment.substr(dot + 1), ';')) {
    const size_t eq = item.find('=');
    if (eq == std::string::npos) Fail("bad set: " + assignment);
    items.emplace_back(item.substr(0, eq), item.substr(eq + 1));
  }
  const INDI_PROPERTY_TYPE type = probe.TypeOf(property, timeout);
  probe.MarkSet();
  std::printf("sent %s %.3f\n", property.c_str(), probe.Elapsed());
  // The client library formats and sends the vector at once and keeps no
  // reference to it.
  if (type == INDI_NUMBER) {
    std::vector<INumber> e(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
      std::snprintf(e[i].name, sizeof e[i].name, "%s", items[i].first.c_str());
      e[i].value = std::atof(items[i].second.c_str());
    }
    INumberVectorProperty v{};
    std::snprintf(v.device, sizeof v.device, "%s", device.c_str());
    std::snprintf(v.name, sizeof v.name, "%s", property.c_str());
    v.np = e.data();
    v.nnp = static_cast<int>(e.size());
    probe.sendNewNumber(INDI::Property(&v));
  } else if (type == INDI_SWITCH) {
    std::vector<ISwitch> e(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
      std::snprintf(e[i].name, sizeof e[i].name, "%s", items[i].first.c_str());
      e[i].s = items[i].second == "On" ? ISS_ON : ISS_OFF;
    }
    ISwitchVectorProperty v{};
    std::snprintf(v.device, sizeof v.device, "%s", device.c_str());
    std::snprintf(v.name, sizeof v.name, "%s", property.c_str());
    // Any-of-many, so that the client library sends the Off elements too.
    v.r = ISR_NOFMANY;
    v.sp = e.data();
    v.nsp = static_cast<int>(e.size());
    probe.sendNewSwitch(INDI::Property(&v));
  } else if (type == INDI_TEXT) {
    std::vector<IText> e(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
      std::snprintf(e[i].name, sizeof e[i].name, "%s", items[i].first.c_str());
      e[i].text = const_cast<char*>(items[i].second.c_str());
    }
    ITextVectorProperty v{};
    std::snprintf(v.device, sizeof v.device, "%s", device.c_str());
    std::snprintf(v.name, sizeof v.name, "%s", property.c_str());
    v.tp = e.data();
    v.ntp = static_cast<int>(e.size());
    probe.sendNewText(INDI::Property(&v));
  } else {
    Fail("no settable property " + property);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "localhost", device, outDir = ".", ready;
  int port = 0;
  double timeout = 20;
  std::vector<std::string> steps;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--port" && i + 1 < argc) {
      port = std::atoi(argv[++i]);
    } else if (a == "--host" && i + 1 < argc) {
      host = argv[++i];
    } else if (a == "--device" && i + 1 < argc) {
      device = argv[++i];
    } else if (a == "--out" && i + 1 < argc) {
      outDir = argv[++i];
    } else if (a == "--ready" && i + 1 < argc) {
      ready = argv[++i];
    } else if (a == "--timeout" && i + 1 < argc) {
      timeout = std::atof(argv[++i]);
    } else {
      steps.push_back(a);
    }
  }
  if (port <= 0 || device.empty()) {
    std::fprintf(stderr, "usage: indi_probe --port P --device NAME [--out DIR] STEP...\n");
    return 2;
  }

  Probe probe(device, outDir);
  probe.setServer(host.c_str(), port);
  probe.watchDevice(device.c_str());
  if (!probe.connectServer()) Fail("cannot connect to " + host + ":" + std::to_string(port));
  if (!probe.WaitForDevice(timeout)) Fail("device " + device + " not found");
  if (!ready.empty()) {
    if (FILE* f = std::fopen(ready.c_str(), "w")) std::fclose(f);
  }

  uint64_t expected = 0;
  for (const std::string& step : steps) {
    const size_t space = step.find(' ');
    const std::string verb = step.substr(0, space);
    const std::string arg = space == std::string::npos ? "" : step.substr(space + 1);
    if (verb == "set") {
      Set(probe, device, arg, timeout);
    } else if (verb == "wait") {
      const size_t eq = arg.find('=');
      if (eq == std::string::npos) Fail("bad wait: " + arg);
      if (!probe.WaitState(arg.substr(0, eq), arg.substr(eq + 1), timeout))
        Fail("timeout: " + step);
    } else if (verb == "message") {
      if (!probe.WaitMessage(arg, timeout)) Fail("timeout: " + step);
    } else if (verb == "gone") {
      if (!probe.WaitState(arg, "", timeout)) Fail("timeout: " + step);
    } else if (verb == "blobs") {
      expected += std::strtoull(arg.c_str(), nullptr, 10);
      if (!probe.WaitBlobs(expected, timeout)) Fail("timeout: " + step);
    } else if (verb == "noblob") {
      const uint64_t before = probe.Blobs();
      if (probe.WaitBlobs(before + 1, std::atof(arg.c_str()))) Fail("unexpected BLOB");
    } else if (verb == "count") {
      const uint64_t before = probe.Blobs();
      const double seconds = std::atof(arg.c_str());
      probe.WaitBlobs(UINT64_MAX, seconds);
      const uint64_t counted = probe.Blobs() - before;
      expected += counted;
      std::printf("count %llu %g\n", static_cast<unsigned long long>(counted), seconds);
    } else if (verb == "sleep") {
      probe.WaitBlobs(UINT64_MAX, std::atof(arg.c_str()));
    } else {
      Fail("unknown step: " + step);
    }
    std::fflush(stdout);
  }
  probe.disconnectServer();
  return 0;
}
