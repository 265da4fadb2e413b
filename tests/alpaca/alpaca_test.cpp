// The Alpaca server against what the ASCOM conformance checker asks of a
// camera and of the protocol: the server runs in-process on an ephemeral
// loopback port and is driven over HTTP. The cameras are simulated; those on
// the virtual clock take exposures and pulses without real waits.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "alpaca/server.h"
#include "tarncam/tarncam_camera.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr int kNotImplemented = 0x400, kInvalidValue = 0x401, kValueNotSet = 0x402,
              kNotConnected = 0x407, kInvalidOperation = 0x40B, kCancelled = 0x40E;

std::string AddSim(bool colour, bool virtualTime) {
  tarncam_sim_options o;
  tarncam_sim_default_options(&o);
  o.colour = colour ? 1 : 0;
  o.scene = TARNCAM_SIM_SCENE_TEST_PATTERN;
  o.virtual_time = virtualTime ? 1 : 0;
  o.guide_rate = 5.0;  // px per second of pulse: round offsets to compare
  char id[TARNCAM_ID_SIZE];
  EXPECT_EQ(tarncam_sim_add(&o, id, sizeof id), TARNCAM_OK);
  return id;
}

// Device 0: mono, device 1: colour, both on the virtual clock; with
// `realTime`, device 2: mono on the real clock.
struct Rig {
  explicit Rig(bool realTime = false) {
    ids.push_back(AddSim(false, true));
    ids.push_back(AddSim(true, true));
    if (realTime) ids.push_back(AddSim(false, false));
    alpaca::ServerOptions o;
    o.bind = "127.0.0.1";
    o.port = 0;
    o.discoveryPort = 0;
    server = std::make_unique<alpaca::Server>(o);
    server->AddCamerasPresent();
    std::string error;
    EXPECT_TRUE(server->Start(&error)) << error;
    client = std::make_unique<httplib::Client>(Client());
  }

  httplib::Client Client() const {
    httplib::Client c("127.0.0.1", server->port());
    c.set_read_timeout(30, 0);
    return c;
  }

  static std::string Path(int dev, const std::string& member) {
    return "/api/v1/camera/" + std::to_string(dev) + "/" + member;
  }

  json Get(int dev, const std::string& member, const std::string& query = "") {
    auto r = client->Get(Path(dev, member) + (query.empty() ? "" : "?" + query));
    EXPECT_TRUE(r) << member;
    if (!r) return json();
    EXPECT_EQ(r->status, 200) << member << ": " << r->body;
    EXPECT_EQ(r->get_header_value("Content-Type"), "application/json");
    return json::parse(r->body, nullptr, false);
  }

  json Put(int dev, const std::string& member, const std::string& form = "") {
    auto r = client->Put(Path(dev, member), form, "application/x-www-form-urlencoded");
    EXPECT_TRUE(r) << member;
    if (!r) return json();
    EXPECT_EQ(r->status, 200) << member << ": " << r->body;
    return json::parse(r->body, nullptr, false);
  }

  int GetStatus(const std::string& path) {
    auto r = client->Get(path);
    return r ? r->status : -1;
  }
  int PutStatus(int dev, const std::string& member, const std::string& form) {
    auto r = client->Put(Path(dev, member), form, "application/x-www-form-urlencoded");
    return r ? r->status : -1;
  }

  void Connect(int dev) { ASSERT_EQ(Put(dev, "connected", "Connected=True")["ErrorNumber"], 0); }

  // Exposes and waits (bounded, generously) for the image.
  ::testing::AssertionResult Expose(int dev, double seconds) {
    json j = Put(dev, "startexposure", "Duration=" + std::to_string(seconds) + "&Light=true");
    if (j["ErrorNumber"] != 0) return ::testing::AssertionFailure() << j.dump();
    const auto until =
        std::chrono::steady_clock::now() + 30s + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
      j = Get(dev, "imageready");
      if (j["ErrorNumber"] != 0) return ::testing::AssertionFailure() << j.dump();
      if (j["Value"] == true) return ::testing::AssertionSuccess();
      std::this_thread::sleep_for(5ms);
    }
    return ::testing::AssertionFailure() << "no image";
  }

  std::vector<std::string> ids;
  std::unique_ptr<alpaca::Server> server;
  std::unique_ptr<httplib::Client> client;
};

int Error(const json& j) { return j.value("ErrorNumber", -1); }

uint32_t Le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}

// The ImageBytes reply of a w x h frame holds the test pattern (50 columns
// in for widths 376 and 400), [x][y] with y fastest.
::testing::AssertionResult HoldsPattern(const std::string& body, uint32_t w, uint32_t h, bool ten) {
  const uint32_t bytes = ten ? 2 : 1;
  if (body.size() != 44 + size_t{w} * h * bytes)
    return ::testing::AssertionFailure() << "size " << body.size();
  const uint32_t skip = (w == 376 || w == 400) ? 50 : 0;
  const char* p = body.data() + 44;
  for (uint32_t x = 0; x < w; ++x)
    for (uint32_t y = 0; y < h; ++y) {
      uint32_t got = static_cast<uint8_t>(*p++);
      if (ten) got |= uint32_t{static_cast<uint8_t>(*p++)} << 8;
      const uint32_t want = tarncam_sim_test_pattern(y, x + skip, ten);
      if (got != want)
        return ::testing::AssertionFailure()
               << "x " << x << " y " << y << ": " << got << " want " << want;
    }
  return ::testing::AssertionSuccess();
}

std::string Discover(int family, const char* address, int port) {
  const int fd = socket(family, SOCK_DGRAM, 0);
  if (fd < 0) return "no socket";
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_storage to{};
  socklen_t len;
  if (family == AF_INET) {
    auto* a = reinterpret_cast<sockaddr_in*>(&to);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &a->sin_addr);
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in6*>(&to);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET6, address, &a->sin6_addr);
    len = sizeof *a;
  }
  const char request[] = "alpacadiscovery1";
  sendto(fd, request, sizeof request - 1, 0, reinterpret_cast<sockaddr*>(&to), len);
  char buffer[256];
  const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
  close(fd);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "no answer";
}

TEST(AlpacaProtocol, TransactionIdsCasingAndMalformedRequests) {
  Rig rig;
  // GET: any casing of a name; the reply has every field of the standard.
  json a = rig.Get(0, "name", "ClientTransactionID=7&ClientID=3");
  EXPECT_EQ(a["ClientTransactionID"], 7);
  EXPECT_TRUE(a.contains("Value") && a.contains("ErrorNumber") && a.contains("ErrorMessage") &&
              a.contains("ServerTransactionID"));
  json b = rig.Get(0, "name", "clienttransactionid=8");
  EXPECT_EQ(b["ClientTransactionID"], 8);
  EXPECT_GT(b["ServerTransactionID"].get<uint32_t>(), a["ServerTransactionID"].get<uint32_t>());
  EXPECT_EQ(rig.Get(0, "name", "ClientTransactionID=-4")["ClientTransactionID"], 0);

  // PUT: names are matched exactly. A mis-cased ClientTransactionID is not
  // one (not echoed); a mis-cased or unreadable required one is a 400;
  // extra parameters are ignored.
  EXPECT_EQ(rig.Put(0, "connected", "Connected=True&ClientTransactionID=9")["ClientTransactionID"],
            9);
  json c = rig.Put(0, "connected", "Connected=True&clienttransactionid=10&Extra=1");
  EXPECT_EQ(c["ClientTransactionID"], 0);
  EXPECT_EQ(Error(c), 0);
  EXPECT_FALSE(c.contains("Value"));
  EXPECT_EQ(rig.PutStatus(0, "connected", "connected=True"), 400);
  EXPECT_EQ(rig.PutStatus(0, "connected", "Connected=yes"), 400);
  EXPECT_EQ(rig.PutStatus(0, "gain", "Gain=1.5"), 400);
  EXPECT_EQ(rig.PutStatus(0, "startexposure", "Duration=1"), 400);  // Light missing
  EXPECT_EQ(rig.PutStatus(0, "startexposure", "Duration=1e999&Light=true"), 400);

  // Bad device numbers, types, members and verbs.
  for (const char* path :
       {"/api/v1/camera/2/name", "/api/v1/camera/x/name", "/api/v1/camera/-1/name",
        "/api/v1/camera/+0/name", "/api/v1/telescope/0/name", "/api/v1/CAMERA/0/name",
        "/api/v1/camera/0/nosuchmember", "/api/v1/camera/0/startexposure", "/api/v2/camera/0/name",
        "/api/v1/camera/0"}) {
    EXPECT_EQ(rig.GetStatus(path), 400) << path;
  }
  EXPECT_EQ(rig.PutStatus(0, "name", ""), 400);

  // Not connected: what needs the camera says so; the rest answers.
  EXPECT_EQ(Error(rig.Get(1, "camerastate")), kNotConnected);
  EXPECT_EQ(rig.Get(1, "connected")["Value"], false);
  EXPECT_EQ(rig.Get(1, "interfaceversion")["Value"], 4);
  EXPECT_EQ(rig.Get(1, "connecting")["Value"], false);
}

TEST(AlpacaProtocol, ManagementAndDiscovery) {
  Rig rig;
  auto get = [&](const std::string& path) {
    auto r = rig.client->Get(path + "?ClientTransactionID=5");
    EXPECT_TRUE(r && r->status == 200) << path;
    return r ? json::parse(r->body, nullptr, false) : json();
  };
  EXPECT_EQ(get("/management/apiversions")["Value"], json::array({1}));
  const json d = get("/management/v1/description")["Value"];
  for (const char* k : {"ServerName", "Manufacturer", "ManufacturerVersion", "Location"})
    EXPECT_TRUE(d.contains(k)) << k;
  const json devices = get("/management/v1/configureddevices");
  EXPECT_EQ(devices["ClientTransactionID"], 5);
  ASSERT_EQ(devices["Value"].size(), 2u);
  std::set<std::string> unique;
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(devices["Value"][i]["DeviceType"], "Camera");
    EXPECT_EQ(devices["Value"][i]["DeviceNumber"], i);
    unique.insert(devices["Value"][i]["UniqueID"].get<std::string>());
  }
  EXPECT_EQ(unique.size(), 2u);

  const std::string want = "{\"AlpacaPort\":" + std::to_string(rig.server->port()) + "}";
  EXPECT_EQ(json::parse(Discover(AF_INET, "127.0.0.1", rig.server->discoveryPort())),
            json::parse(want));
  const std::string v6 = Discover(AF_INET6, "::1", rig.server->discoveryPort());
  if (v6 != "no socket") {
    EXPECT_EQ(json::parse(v6, nullptr, false), json::parse(want)) << v6;
  }
  EXPECT_EQ(alpaca::Discovery::Answer("alpacadiscovery2", 16, 1), "");
  EXPECT_EQ(alpaca::Discovery::Answer("alpaca", 6, 1), "");
}

TEST(AlpacaCamera, CapabilitiesRangesAndStateBeforeAnyExposure) {
  Rig rig;
  rig.Connect(0);
  rig.Connect(1);
  // Every Can* flag matches what the member does.
  EXPECT_EQ(rig.Get(0, "canabortexposure")["Value"], true);
  EXPECT_EQ(Error(rig.Put(0, "abortexposure")), 0);  // nothing running: fine
  EXPECT_EQ(rig.Get(0, "canpulseguide")["Value"], true);
  EXPECT_EQ(rig.Get(0, "canstopexposure")["Value"], false);
  EXPECT_EQ(Error(rig.Put(0, "stopexposure")), kNotImplemented);
  EXPECT_EQ(rig.Get(0, "cansetccdtemperature")["Value"], false);
  EXPECT_EQ(Error(rig.Get(0, "setccdtemperature")), kNotImplemented);
  EXPECT_EQ(Error(rig.Put(0, "setccdtemperature", "SetCCDTemperature=-10")), kNotImplemented);
  EXPECT_EQ(Error(rig.Get(0, "cooleron")), kNotImplemented);
  EXPECT_EQ(rig.PutStatus(0, "cooleron", "cooleron=true"), 400);  // still read first
  EXPECT_EQ(Error(rig.Get(0, "ccdtemperature")), kNotImplemented);
  EXPECT_EQ(rig.Get(0, "cangetcoolerpower")["Value"], false);
  EXPECT_EQ(Error(rig.Get(0, "coolerpower")), kNotImplemented);
  EXPECT_EQ(rig.Get(0, "canfastreadout")["Value"], false);
  EXPECT_EQ(Error(rig.Get(0, "fastreadout")), kNotImplemented);
  EXPECT_EQ(rig.Get(0, "hasshutter")["Value"], false);
  EXPECT_EQ(rig.Get(0, "canasymmetricbin")["Value"], false);
  EXPECT_EQ(Error(rig.Get(0, "gains")), kNotImplemented);  // numeric gain
  EXPECT_EQ(Error(rig.Get(0, "offsets")), kNotImplemented);
  EXPECT_EQ(rig.Get(0, "supportedactions")["Value"], json::array());
  EXPECT_EQ(Error(rig.Put(0, "commandblind", "Command=x&Raw=false")), kNotImplemented);

  // Ranges.
  auto v = [&](int dev, const char* m) { return rig.Get(dev, m)["Value"]; };
  EXPECT_LE(v(0, "binx"), v(0, "maxbinx"));
  EXPECT_LE(v(0, "biny"), v(0, "maxbiny"));
  EXPECT_LE(v(0, "exposuremin").get<double>(), v(0, "exposuremax").get<double>());
  EXPECT_GT(v(0, "exposureresolution").get<double>(), 0);
  EXPECT_LE(v(0, "gainmin"), v(0, "gain"));
  EXPECT_LE(v(0, "gain"), v(0, "gainmax"));
  EXPECT_LE(v(0, "offsetmin"), v(0, "offset"));
  EXPECT_LE(v(0, "offset"), v(0, "offsetmax"));
  EXPECT_EQ(v(0, "cameraxsize"), 752);
  EXPECT_EQ(v(0, "cameraysize"), 480);
  EXPECT_EQ(v(0, "numx"), 752);
  EXPECT_EQ(v(0, "numy"), 480);
  EXPECT_GT(v(0, "pixelsizex").get<double>(), 0);
  EXPECT_EQ(Error(rig.Put(0, "binx", "BinX=2")), kInvalidValue);
  EXPECT_EQ(Error(rig.Put(0, "binx", "BinX=1")), 0);
  EXPECT_EQ(Error(rig.Put(0, "gain", "Gain=" + v(0, "gainmax").dump() + "1")), kInvalidValue);
  EXPECT_EQ(Error(rig.Put(0, "gain", "Gain=17")), 0);
  EXPECT_EQ(v(0, "gain"), 17);
  EXPECT_EQ(Error(rig.Put(0, "offset", "Offset=-1")), kInvalidValue);

  // Readout modes are the bit depths, and MaxADU follows them.
  EXPECT_EQ(v(0, "readoutmodes"), json::array({"8 bit", "10 bit"}));
  EXPECT_EQ(v(0, "maxadu"), 255);
  EXPECT_EQ(Error(rig.Put(0, "readoutmode", "ReadoutMode=1")), 0);
  EXPECT_EQ(v(0, "readoutmode"), 1);
  EXPECT_EQ(v(0, "maxadu"), 1023);
  EXPECT_EQ(Error(rig.Put(0, "readoutmode", "ReadoutMode=2")), kInvalidValue);

  // Sensor type and mosaic.
  EXPECT_EQ(v(0, "sensortype"), 0);
  EXPECT_EQ(Error(rig.Get(0, "bayeroffsetx")), kNotImplemented);
  EXPECT_EQ(v(1, "sensortype"), 2);
  EXPECT_EQ(v(1, "bayeroffsetx"), 0);
  EXPECT_EQ(v(1, "bayeroffsety"), 0);

  // Before any exposure.
  EXPECT_EQ(v(0, "imageready"), false);
  EXPECT_EQ(v(0, "camerastate"), 0);
  EXPECT_EQ(Error(rig.Get(0, "imagearray")), kInvalidOperation);
  EXPECT_EQ(Error(rig.Get(0, "lastexposureduration")), kValueNotSet);
  EXPECT_EQ(Error(rig.Get(0, "lastexposurestarttime")), kValueNotSet);
  std::set<std::string> names;
  for (const json& e : v(0, "devicestate")) names.insert(e["Name"].get<std::string>());
  EXPECT_EQ(names, (std::set<std::string>{"CameraState", "ImageReady", "IsPulseGuiding",
                                          "PercentCompleted", "TimeStamp"}));
}

TEST(AlpacaCamera, FramesArriveAsImageBytesAndJsonInXYOrder) {
  Rig rig;
  rig.Connect(0);
  ASSERT_EQ(Error(rig.Put(0, "readoutmode", "ReadoutMode=1")), 0);
  ASSERT_TRUE(rig.Expose(0, 0.25));
  EXPECT_EQ(rig.Get(0, "camerastate")["Value"], 0);
  EXPECT_EQ(rig.Get(0, "percentcompleted")["Value"], 100);
  EXPECT_EQ(rig.Get(0, "lastexposureduration")["Value"], 0.25);
  // The virtual clock's frames count from 2026-01-01T00:00:00Z.
  const std::string start = rig.Get(0, "lastexposurestarttime")["Value"];
  EXPECT_TRUE(std::regex_match(start, std::regex(R"(2026-01-01T00:00:0\d\.\d{3})"))) << start;

  auto r = rig.client->Get(Rig::Path(0, "imagearray") + "?ClientTransactionID=21",
                           {{"Accept", "application/imagebytes"}});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->get_header_value("Content-Type"), "application/imagebytes");
  const std::string& b = r->body;
  ASSERT_GE(b.size(), 44u);
  const uint32_t want[] = {1, 0, 21, 0, 44, 2, 8, 2, 752, 480, 0};  // [3]: any server id
  for (size_t i = 0; i < 11; ++i) {
    if (i != 3) {
      EXPECT_EQ(Le32(b, 4 * i), want[i]) << "header field " << i;
    }
  }
  EXPECT_GT(Le32(b, 12), 0u);
  EXPECT_TRUE(HoldsPattern(b, 752, 480, true));

  // The same frame as JSON: Value[x][y].
  const json j = rig.Get(0, "imagearray");
  EXPECT_EQ(j["Type"], 2);
  EXPECT_EQ(j["Rank"], 2);
  ASSERT_EQ(j["Value"].size(), 752u);
  ASSERT_EQ(j["Value"][0].size(), 480u);
  for (uint32_t x : {0u, 1u, 300u, 751u})
    for (uint32_t y : {0u, 1u, 200u, 479u})
      EXPECT_EQ(j["Value"][x][y], tarncam_sim_test_pattern(y, x, 1)) << x << "," << y;

  // A subframe where the camera puts it (376 x 300: rows 90.., 50 columns
  // into the centre 616), 8-bit; anywhere else is refused, saying why.
  ASSERT_EQ(Error(rig.Put(0, "readoutmode", "ReadoutMode=0")), 0);
  rig.Put(0, "numx", "NumX=376");
  rig.Put(0, "numy", "NumY=300");
  json refused = rig.Put(0, "startexposure", "Duration=0.1&Light=true");
  EXPECT_EQ(Error(refused), kInvalidValue);
  EXPECT_NE(refused["ErrorMessage"].get<std::string>().find("StartX 118, StartY 90"),
            std::string::npos)
      << refused.dump();
  rig.Put(0, "startx", "StartX=118");
  rig.Put(0, "starty", "StartY=90");
  ASSERT_TRUE(rig.Expose(0, 0.1));
  r = rig.client->Get(Rig::Path(0, "imagearray"),
                      {{"Accept", "application/json, application/imagebytes"}});
  ASSERT_TRUE(r);
  EXPECT_EQ(Le32(r->body, 24), 6u);  // bytes on the wire
  EXPECT_TRUE(HoldsPattern(r->body, 376, 300, false));

  // Bad values: negative or too long a duration, a subframe off the sensor.
  EXPECT_EQ(Error(rig.Put(0, "startexposure", "Duration=-1&Light=true")), kInvalidValue);
  EXPECT_EQ(Error(rig.Put(0, "startexposure", "Duration=1e7&Light=true")), kInvalidValue);
  rig.Put(0, "numx", "NumX=800");
  EXPECT_EQ(Error(rig.Put(0, "startexposure", "Duration=0.1&Light=true")), kInvalidValue);
  rig.Put(0, "numx", "NumX=752");
  rig.Put(0, "numy", "NumY=480");
  rig.Put(0, "startx", "StartX=10");
  rig.Put(0, "starty", "StartY=0");
  EXPECT_EQ(Error(rig.Put(0, "startexposure", "Duration=0.1&Light=true")), kInvalidValue);
  rig.Put(0, "numx", "NumX=-5");
  EXPECT_EQ(Error(rig.Put(0, "startexposure", "Duration=0.1&Light=true")), kInvalidValue);
  // The last good image stays until an exposure starts.
  EXPECT_EQ(rig.Get(0, "imageready")["Value"], true);
}

TEST(AlpacaCamera, PulseGuideRunsUntilTheCamerasGuideStateEnds) {
  Rig rig;
  rig.Connect(0);
  // North, south, east, west: +Y, -Y, +X, -X on the port (the field moves
  // 5 px per second of pulse).
  const double dx[] = {0, 0, 10, -10}, dy[] = {10, -10, 0, 0};
  double x = 0, y = 0;
  for (int direction = 0; direction < 4; ++direction) {
    SCOPED_TRACE(direction);
    ASSERT_EQ(Error(rig.Put(0, "pulseguide",
                            "Direction=" + std::to_string(direction) + "&Duration=2000")),
              0);
    EXPECT_EQ(rig.Get(0, "ispulseguiding")["Value"], true);
    // Virtual time moves only while the camera works: an exposure longer
    // than the pulse carries the pulse to its end.
    ASSERT_TRUE(rig.Expose(0, 2.5));
    EXPECT_EQ(rig.Get(0, "ispulseguiding")["Value"], false);
    tarncam_sim_stats st{};
    ASSERT_EQ(tarncam_sim_camera_stats(rig.ids[0].c_str(), &st), TARNCAM_OK);
    x += dx[direction];
    y += dy[direction];
    EXPECT_NEAR(st.guide_offset_x, x, 1e-6);
    EXPECT_NEAR(st.guide_offset_y, y, 1e-6);
  }
  EXPECT_EQ(Error(rig.Put(0, "pulseguide", "Direction=4&Duration=10")), kInvalidValue);
  EXPECT_EQ(Error(rig.Put(0, "pulseguide", "Direction=0&Duration=-10")), kInvalidValue);
  EXPECT_EQ(rig.PutStatus(0, "pulseguide", "direction=0&Duration=10"), 400);
}

TEST(AlpacaCamera, AbortAndStartTimeOnTheRealClock) {
  Rig rig(true);
  rig.Connect(2);
  // A long exposure is running: a second start is refused, an abort ends it
  // without an image.
  ASSERT_EQ(Error(rig.Put(2, "startexposure", "Duration=20&Light=false")), 0);
  EXPECT_EQ(rig.Get(2, "camerastate")["Value"], 2);
  EXPECT_EQ(Error(rig.Put(2, "startexposure", "Duration=1&Light=true")), kInvalidOperation);
  EXPECT_EQ(Error(rig.Get(2, "imagearray")), kInvalidOperation);
  EXPECT_EQ(Error(rig.Put(2, "abortexposure")), 0);
  EXPECT_EQ(rig.Get(2, "camerastate")["Value"], 0);
  EXPECT_EQ(rig.Get(2, "imageready")["Value"], false);
  EXPECT_EQ(Error(rig.Get(2, "imagearray")), kCancelled);

  // The start time is the frame's own, in UTC, between the request and the
  // image.
  const auto before = std::chrono::system_clock::now();
  ASSERT_TRUE(rig.Expose(2, 0.05));
  const auto after = std::chrono::system_clock::now();
  const std::string t = rig.Get(2, "lastexposurestarttime")["Value"];
  std::tm parts{};
  int ms = -1;
  ASSERT_EQ(std::sscanf(t.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d", &parts.tm_year, &parts.tm_mon,
                        &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &ms),
            7)
      << t;
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  const auto start =
      std::chrono::system_clock::from_time_t(timegm(&parts)) + std::chrono::milliseconds(ms);
  EXPECT_GE(start, std::chrono::floor<std::chrono::milliseconds>(before));
  EXPECT_LE(start, after);
}

TEST(AlpacaCamera, TwoClientsAtOnceAndAnUnplug) {
  Rig rig;
  rig.Connect(0);
  rig.Connect(1);
  // Two clients on two cameras at once, each exposing and downloading.
  std::vector<uint32_t> serverIds[2];
  auto work = [&](int dev) {
    httplib::Client c = rig.Client();
    for (int i = 0; i < 3; ++i) {
      auto r = c.Put(Rig::Path(dev, "startexposure"), "Duration=0.2&Light=true",
                     "application/x-www-form-urlencoded");
      if (!r || json::parse(r->body)["ErrorNumber"] != 0) return;
      for (int k = 0; k < 6000; ++k) {
        r = c.Get(Rig::Path(dev, "imageready"));
        if (!r) return;
        const json j = json::parse(r->body);
        serverIds[dev].push_back(j["ServerTransactionID"]);
        if (j["Value"] == true) break;
        std::this_thread::sleep_for(5ms);
      }
      r = c.Get(Rig::Path(dev, "imagearray"), {{"Accept", "application/imagebytes"}});
      if (r && HoldsPattern(r->body, 752, 480, false)) serverIds[dev].push_back(Le32(r->body, 12));
    }
  };
  std::thread other(work, 1);
  work(0);
  other.join();
  std::set<uint32_t> all;
  for (auto& ids : serverIds) all.insert(ids.begin(), ids.end());
  EXPECT_EQ(all.size(), serverIds[0].size() + serverIds[1].size());  // never the same id twice
  EXPECT_GE(serverIds[0].size(), 6u);
  EXPECT_GE(serverIds[1].size(), 6u);

  // Camera 0 is unplugged: it answers not connected, camera 1 goes on.
  ASSERT_EQ(tarncam_sim_set_connected(rig.ids[0].c_str(), 0), TARNCAM_OK);
  const json s = rig.Put(0, "startexposure", "Duration=0.1&Light=true");
  if (Error(s) == 0) {
    for (int k = 0; k < 6000 && Error(rig.Get(0, "imageready")) == 0; ++k)
      std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(Error(rig.Get(0, "imageready")), kNotConnected);
  EXPECT_EQ(rig.Get(0, "connected")["Value"], false);
  EXPECT_TRUE(rig.Expose(1, 0.1));
  // Connecting to a camera that is not there is the device's failure, not
  // "not connected".
  EXPECT_EQ(Error(rig.Put(0, "connected", "Connected=True")), 0x500);
  // Back again: connecting opens it afresh.
  ASSERT_EQ(tarncam_sim_set_connected(rig.ids[0].c_str(), 1), TARNCAM_OK);
  rig.Connect(0);
  EXPECT_EQ(rig.Get(0, "connected")["Value"], true);
  EXPECT_TRUE(rig.Expose(0, 0.1));
  EXPECT_EQ(Error(rig.Put(0, "disconnect")), 0);
  EXPECT_EQ(Error(rig.Get(0, "camerastate")), kNotConnected);
}

}  // namespace
