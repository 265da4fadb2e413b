// Loads TARNCAM32.dll the way a client application does (by name, resolving
// every function by its export string) and checks the binary interface:
// the names and ordinals resolve, the plain forms of the four decorated names
// do not, and every export returns with exactly its own argument words removed
// from the stack and the callee-saved registers intact. It also checks the
// results the exports document for a machine with no camera, which catches
// arguments that arrive in the wrong order or the wrong slot.
//
// Runs under Wine in the cross build; prints one line per check and a final
// "N passed, M failed" line, and exits nonzero on any failure.

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static_assert(sizeof(void*) == 4, "the probe is a 32-bit program");

extern "C" {
struct CallRecord {
  int32_t espDelta;    // ESP after the return minus ESP before the pushes
  uint32_t clobbered;  // 1 EBX, 2 ESI, 4 EDI not preserved
};
uint32_t CallMeasured(const void* fn, const uint32_t* args, uint32_t count, CallRecord* record);
}

namespace {

constexpr char kDllName[] = "TARNCAM32.dll";

struct ExportInfo {
  const char* name;
  uint32_t ordinal;
  uint32_t words;  // 32-bit argument words the callee removes
};

// The interface as clients know it, kept apart from exports.def on purpose:
// the probe checks the binary against this table, not against the build input.
constexpr ExportInfo kExports[] = {
    {"ADCRef", 1, 1},
    {"CameraReset", 2, 0},
    {"CancelExposure", 3, 0},
    {"CancelGuide", 4, 2},
    {"?CopyRight@@YGPADXZ", 5, 0},
    {"?DEBUG@@YGKK@Z", 6, 1},
    {"DynamicRange", 7, 1},
    {"Exposure", 8, 1},
    {"ExposureSemaphore", 9, 1},
    {"GETBUFFER", 10, 2},
    {"GetVIDPID", 11, 0},
    {"GuideCommand", 12, 2},
    {"GuideCommandXY", 13, 3},
    {"HorizontalFlip", 14, 1},
    {"?OpenDevice@@YGXXZ", 15, 0},
    {"ProgramCamera", 16, 4},
    {"RowNoise", 17, 1},
    {"SETBUFFERMODE", 18, 1},
    {"SendRegister", 19, 2},
    {"SetAGC", 20, 1},
    {"SetCompanding", 21, 1},
    {"SetDigitalGain", 22, 1},
    {"Subframe", 23, 2},
    {"ThreadedExposure", 24, 1},
    {"VerticalFlip", 25, 1},
    {"bufferCopy", 26, 3},
    {"checkdevice", 27, 1},
    {"closeUSB", 28, 0},
    {"?debayerBuffer@@YGXPAEKK@Z", 29, 3},
    {"debayerImage", 30, 4},
    {"debayerImageFITBYTE", 31, 4},
    {"debayerImageFITWORD", 32, 4},
    {"debayerImageW", 33, 4},
    {"getbufptr", 34, 0},
    {"isExposing", 35, 0},
    {"openUSB", 36, 1},
};
constexpr size_t kExportCount = sizeof kExports / sizeof kExports[0];
static_assert(kExportCount == 36);

// Undecorated forms of the four decorated exports: a client that looks them
// up must find nothing.
constexpr const char* kPlainNames[] = {"CopyRight", "DEBUG", "OpenDevice", "debayerBuffer"};

constexpr uint32_t kNoDeviceDebug = 0xFFFFFFFF;
constexpr size_t kNoticeLength = 58;
constexpr uint8_t kCanary = 0xA5;

uint32_t Word(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

bool AllEqual(const std::vector<uint8_t>& v, size_t from, uint8_t value) {
  for (size_t i = from; i < v.size(); ++i) {
    if (v[i] != value) return false;
  }
  return true;
}

// Collects, per export, whether it resolved, how often it was called and
// every problem seen; reports one line per export at the end.
class Probe {
 public:
  explicit Probe(HMODULE dll)
      : dll_(dll), address_(kExportCount), calls_(kExportCount), problems_(kExportCount) {}

  // Resolution by name and by ordinal, which must agree.
  void Resolve() {
    for (size_t i = 0; i < kExportCount; ++i) {
      const ExportInfo& e = kExports[i];
      address_[i] = reinterpret_cast<const void*>(GetProcAddress(dll_, e.name));
      if (address_[i] == nullptr) {
        Problem(i, "GetProcAddress by name failed");
        continue;
      }
      const void* byOrdinal =
          reinterpret_cast<const void*>(GetProcAddress(dll_, MAKEINTRESOURCEA(e.ordinal)));
      if (byOrdinal != address_[i]) {
        Problem(i, "ordinal " + std::to_string(e.ordinal) + " resolves elsewhere");
      }
    }
  }

  // Calls an export by name with the given argument words, checking the
  // stack and registers; returns its EAX.
  uint32_t Call(const char* name, std::vector<uint32_t> args) {
    const size_t i = Index(name);
    const ExportInfo& e = kExports[i];
    ++calls_[i];
    if (address_[i] == nullptr) return 0;
    if (args.size() != e.words) {
      Problem(i, "probe passes the wrong number of words");  // a fault of the probe itself
      return 0;
    }
    CallRecord record{};
    const uint32_t result = CallMeasured(address_[i], args.data(), e.words, &record);
    if (record.espDelta != 0) {
      const int32_t removed = static_cast<int32_t>(e.words) + record.espDelta / 4;
      Problem(i, "removed " + std::to_string(removed) + " stack words, expected " +
                     std::to_string(e.words));
    }
    if (record.clobbered != 0) {
      std::string regs;
      if (record.clobbered & 1) regs += " EBX";
      if (record.clobbered & 2) regs += " ESI";
      if (record.clobbered & 4) regs += " EDI";
      Problem(i, "did not preserve" + regs);
    }
    return result;
  }

  void Expect(const char* name, bool ok, const std::string& what) {
    if (!ok) Problem(Index(name), what);
  }

  // One line per export; returns the number of failures.
  int Report(int& passed) const {
    int failed = 0;
    for (size_t i = 0; i < kExportCount; ++i) {
      const ExportInfo& e = kExports[i];
      bool ok = problems_[i].empty();
      std::string detail;
      if (calls_[i] == 0) {
        ok = false;
        detail = "; never called";
      }
      for (const std::string& p : problems_[i]) detail += "; " + p;
      std::printf("%s  @%-2u %-27s %u word%s, %d call%s%s\n", ok ? "ok  " : "FAIL", e.ordinal,
                  e.name, e.words, e.words == 1 ? "" : "s", calls_[i], calls_[i] == 1 ? "" : "s",
                  detail.c_str());
      ok ? ++passed : ++failed;
    }
    return failed;
  }

 private:
  size_t Index(const char* name) const {
    for (size_t i = 0; i < kExportCount; ++i) {
      if (std::strcmp(kExports[i].name, name) == 0) return i;
    }
    std::fprintf(stderr, "probe bug: unknown export %s\n", name);
    std::abort();
  }
  void Problem(size_t i, const std::string& what) { problems_[i].push_back(what); }

  HMODULE dll_;
  std::vector<const void*> address_;
  std::vector<int> calls_;
  std::vector<std::vector<std::string>> problems_;
};

// Settings: each returns what it stored, so a result equal to a distinctive
// argument proves the word arrived in the right slot.
void ProbeSettings(Probe& p) {
  p.Expect("ADCRef", p.Call("ADCRef", {6}) == 6, "ADCRef(6) != 6");
  p.Call("DynamicRange", {8});
  p.Expect("HorizontalFlip", p.Call("HorizontalFlip", {3}) == 3, "HorizontalFlip(3) != 3");
  p.Expect("VerticalFlip", p.Call("VerticalFlip", {2}) == 2, "VerticalFlip(2) != 2");
  p.Expect("RowNoise", p.Call("RowNoise", {5}) == 5, "RowNoise(5) != 5");
  p.Expect("SetAGC", p.Call("SetAGC", {7}) == 7, "SetAGC(7) != 7");
  p.Expect("SetCompanding", p.Call("SetCompanding", {9}) == 9, "SetCompanding(9) != 9");
  p.Expect("SetDigitalGain", p.Call("SetDigitalGain", {11}) == 11, "SetDigitalGain(11) != 11");
  p.Call("Subframe", {752, 480});
}

// The camera operations with no camera present: each gives its documented
// no-device result and returns at once.
void ProbeWithoutDevice(Probe& p) {
  const uint32_t notice = p.Call("?CopyRight@@YGPADXZ", {});
  const char* text = reinterpret_cast<const char*>(static_cast<uintptr_t>(notice));
  p.Expect("?CopyRight@@YGPADXZ",
           text != nullptr && std::strlen(text) == kNoticeLength && !std::strchr(text, '\n'),
           "notice is not one line of 58 characters");

  p.Expect("?DEBUG@@YGKK@Z", p.Call("?DEBUG@@YGKK@Z", {99}) == kNoDeviceDebug,
           "DEBUG(99) != 0xFFFFFFFF");
  p.Expect("openUSB", p.Call("openUSB", {0}) == 0, "openUSB(0) != 0");
  p.Expect("checkdevice", p.Call("checkdevice", {0}) == 0, "checkdevice(0) != 0");
  p.Call("?OpenDevice@@YGXXZ", {});
  p.Expect("GetVIDPID", p.Call("GetVIDPID", {}) == 0, "GetVIDPID() != 0");
  p.Expect("SendRegister", p.Call("SendRegister", {0x35, 0x10}) == 1, "SendRegister != 1");
  p.Expect("CameraReset", p.Call("CameraReset", {}) == 1, "CameraReset() != 1");
  p.Expect("ProgramCamera", p.Call("ProgramCamera", {100, 10, 0, 0}) == 1, "ProgramCamera != 1");
  p.Expect("GuideCommand", p.Call("GuideCommand", {0x10, 50}) == 1, "GuideCommand != 1");
  p.Expect("GuideCommandXY", p.Call("GuideCommandXY", {0x30, 50, 60}) == 1, "GuideCommandXY != 1");
  p.Expect("CancelGuide", p.Call("CancelGuide", {1, 1}) == 1, "CancelGuide != 1");
  p.Call("CancelExposure", {});
}

// Exposures with no camera end at once: the inline one returns, the threaded
// one's worker clears the flag as it finds no device.
void ProbeExposures(Probe& p) {
  HANDLE semaphore = CreateSemaphoreA(nullptr, 0, 1, nullptr);
  p.Expect("ExposureSemaphore", p.Call("ExposureSemaphore", {Word(semaphore)}) == Word(semaphore),
           "ExposureSemaphore does not return its handle");
  p.Expect("ExposureSemaphore", p.Call("ExposureSemaphore", {0}) == 0,
           "ExposureSemaphore(NULL) != NULL");
  CloseHandle(semaphore);

  p.Expect("isExposing", p.Call("isExposing", {}) == 0, "isExposing() != 0 before any exposure");
  p.Call("Exposure", {0});
  p.Expect("isExposing", p.Call("isExposing", {}) == 0, "isExposing() != 0 after Exposure");

  const uint32_t worker = p.Call("ThreadedExposure", {0});
  p.Expect("ThreadedExposure", worker != 0 && worker != 0xFFFFFFFF, "no worker started");
  // The bound only turns a hung worker into a failure; a working one ends
  // within milliseconds.
  bool ended = false;
  for (int i = 0; i < 10000 && !ended; ++i) {
    ended = p.Call("isExposing", {}) == 0;
    if (!ended) Sleep(1);
  }
  p.Expect("ThreadedExposure", ended, "the worker did not end within 10 s");
  // With the exposure over, closeUSB takes no abort path.
  p.Call("closeUSB", {});
}

// The conversions on the probe's buffers. Canaries behind each output region
// catch a writer that ran past it, as a width and height in the wrong slots
// would make it.
void ProbeConversions(Probe& p) {
  std::vector<uint8_t> src(64);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(10 + i);
  std::vector<uint8_t> dst(64, kCanary);

  p.Expect("bufferCopy",
           p.Call("bufferCopy", {Word(src.data()), Word(dst.data()), 16}) == Word(dst.data()),
           "bufferCopy does not return the destination");
  p.Expect("bufferCopy", std::memcmp(src.data(), dst.data(), 16) == 0 && AllEqual(dst, 16, kCanary),
           "bufferCopy did not copy exactly 16 bytes from source to destination");

  // Output sizes for W = 2, H = 2: one row of two pixels, 6 bytes, or 12
  // for the 16-bit planes.
  struct Demosaic {
    const char* name;
    size_t bytesFor2x2;
  };
  for (const Demosaic& d : {Demosaic{"debayerImage", 6}, Demosaic{"debayerImageFITBYTE", 6},
                            Demosaic{"debayerImageW", 6}, Demosaic{"debayerImageFITWORD", 12}}) {
    dst.assign(64, kCanary);
    p.Expect(d.name, p.Call(d.name, {Word(src.data()), Word(dst.data()), 4, 1}) == 0,
             "height 1 does not give 0 rows");
    p.Expect(d.name, AllEqual(dst, 0, kCanary), "height 1 wrote output");
    p.Expect(d.name, p.Call(d.name, {Word(src.data()), Word(dst.data()), 2, 2}) == 1,
             "2 x 2 does not give 1 row");
    p.Expect(d.name, AllEqual(dst, d.bytesFor2x2, kCanary), "2 x 2 wrote past its output");
  }

  std::vector<uint8_t> rows(3 * 752 + 64, kCanary);
  p.Call("?debayerBuffer@@YGXPAEKK@Z", {Word(rows.data()), 752, 2});
  p.Expect("?debayerBuffer@@YGXPAEKK@Z", AllEqual(rows, 3 * 752, kCanary),
           "752 x 2 wrote past its 2256-byte output");

  const uint32_t raw = p.Call("getbufptr", {});
  p.Expect("getbufptr", raw != 0 && p.Call("getbufptr", {}) == raw,
           "getbufptr is null or not stable");

  // Mode 1 copies `length` raw bytes; the buffer has room for the largest
  // fetch of any mode.
  std::vector<uint8_t> out(1568000 + 16, kCanary);
  p.Call("SETBUFFERMODE", {1});
  p.Call("GETBUFFER", {Word(out.data()), 16});
  p.Expect("GETBUFFER", AllEqual(out, 16, kCanary), "mode 1 with length 16 wrote past 16 bytes");
  p.Call("SETBUFFERMODE", {0});
}

// The measuring helper itself: a caller-clean function must show its words
// still on the stack, or a zero delta would prove nothing.
int __cdecl CallerClean(int a, int b) { return a + b; }
int __stdcall CalleeClean(int a, int b) { return a - b; }

bool HelperWorks() {
  const uint32_t args[2] = {7, 5};
  CallRecord callerClean{};
  CallRecord calleeClean{};
  const uint32_t sum =
      CallMeasured(reinterpret_cast<const void*>(&CallerClean), args, 2, &callerClean);
  const uint32_t diff =
      CallMeasured(reinterpret_cast<const void*>(&CalleeClean), args, 2, &calleeClean);
  return sum == 12 && diff == 2 && callerClean.espDelta == -8 && calleeClean.espDelta == 0;
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);  // keep the lines in order with Wine's own output
  int passed = 0;
  int failed = 0;
  auto line = [&](bool ok, const char* what) {
    std::printf("%s  %s\n", ok ? "ok  " : "FAIL", what);
    ok ? ++passed : ++failed;
  };

  line(HelperWorks(), "stack measuring helper tells callee-clean from caller-clean");

  // Loading and unloading with nothing called: the entry routine does
  // nothing, so the module goes away and nothing is left behind.
  {
    HMODULE dll = LoadLibraryA(kDllName);
    const bool freed = dll != nullptr && FreeLibrary(dll) && GetModuleHandleA(kDllName) == nullptr;
    line(freed, "load and unload without calls");
  }

  HMODULE dll = LoadLibraryA(kDllName);
  if (dll == nullptr) {
    std::printf("FAIL  LoadLibraryA(\"%s\") error %lu\n", kDllName, GetLastError());
    std::printf("%d passed, %d failed\n", passed, failed + 1);
    return 1;
  }

  for (const char* plain : kPlainNames) {
    const std::string what = std::string("plain name ") + plain + " does not resolve";
    line(GetProcAddress(dll, plain) == nullptr, what.c_str());
  }

  Probe probe(dll);
  probe.Resolve();
  ProbeSettings(probe);
  ProbeWithoutDevice(probe);
  ProbeExposures(probe);
  ProbeConversions(probe);
  failed += probe.Report(passed);

  // No FreeLibrary here: the readout worker may still be leaving the
  // library's code after clearing the flag, and clients unload only once
  // their worker has finished.
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
