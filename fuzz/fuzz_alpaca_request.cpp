// The Alpaca server's request handling, from the path and its parameters to
// the reply, against a simulated camera on the virtual clock: whatever a
// client sends, the server answers with a well-formed reply (HTTP 400 for
// what it cannot read), an ASCOM error number from the standard's set, and a
// server transaction id that only increases.
//
// Input: requests, one a line: a method letter (G: GET, P: PUT, I: GET
// asking for application/imagebytes, anything else: that method), the path
// with an optional ?query, then for a PUT a tab and the form body.

#include <httplib.h>

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "alpaca/server.h"
#include "fuzz_check.h"
#include "tarncam/tarncam_camera.h"

namespace {

alpaca::Server& TheServer() {
  static alpaca::Server* server = [] {
    tarncam_sim_options o;
    tarncam_sim_default_options(&o);
    o.virtual_time = 1;
    o.scene = TARNCAM_SIM_SCENE_TEST_PATTERN;
    o.colour = 1;
    char id[TARNCAM_ID_SIZE];
    tarncam_sim_add(&o, id, sizeof id);
    auto* s = new alpaca::Server(alpaca::ServerOptions{});
    s->AddCamerasPresent();  // not started: requests go straight to Handle
    return s;
  }();
  return *server;
}

uint32_t Le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}

bool KnownError(int64_t e) {
  switch (e) {
    case 0:
    case 0x400:
    case 0x401:
    case 0x402:
    case 0x407:
    case 0x40B:
    case 0x40C:
    case 0x40E:
      return true;
    default:
      return e >= 0x500 && e <= 0xFFF;
  }
}

uint32_t lastServerId = 0;

void Check(const alpaca::Reply& r) {
  FUZZ_CHECK(r.status == 200 || r.status == 400 || r.status == 404);
  if (r.status != 200 || r.contentType == "text/plain") return;
  if (r.contentType == "application/imagebytes") {
    FUZZ_CHECK(r.body.size() >= 44);
    FUZZ_CHECK(Le32(r.body, 0) == 1 && Le32(r.body, 16) == 44);
    FUZZ_CHECK(KnownError(Le32(r.body, 4)));
    FUZZ_CHECK(Le32(r.body, 12) > lastServerId);
    lastServerId = Le32(r.body, 12);
    if (Le32(r.body, 4) == 0) {
      const uint64_t bytes = Le32(r.body, 24) == 8 ? 2 : 1;
      FUZZ_CHECK(r.body.size() == 44 + uint64_t{Le32(r.body, 32)} * Le32(r.body, 36) * bytes);
    }
    return;
  }
  FUZZ_CHECK(r.contentType == "application/json");
  const nlohmann::json j = nlohmann::json::parse(r.body, nullptr, false);
  FUZZ_CHECK(!j.is_discarded());
  FUZZ_CHECK(j.contains("ErrorNumber") && j.contains("ErrorMessage") &&
             j.contains("ClientTransactionID") && j.contains("ServerTransactionID"));
  FUZZ_CHECK(KnownError(j["ErrorNumber"].get<int64_t>()));
  const uint32_t server = j["ServerTransactionID"].get<uint32_t>();
  FUZZ_CHECK(server > lastServerId);
  lastServerId = server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  alpaca::Server& server = TheServer();
  // Every input starts from a closed camera.
  alpaca::Request reset{"PUT", "/api/v1/camera/0/disconnect", {}, "", ""};
  Check(server.Handle(reset));
  std::string_view text(reinterpret_cast<const char*>(data), size);
  int budget = 64;
  while (!text.empty() && budget-- > 0) {
    const size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    if (line.empty()) continue;
    alpaca::Request r;
    const char m = line[0];
    line.remove_prefix(1);
    r.method = m == 'G' || m == 'I' ? "GET" : m == 'P' ? "PUT" : std::string(1, m);
    if (m == 'I') r.accept = "application/imagebytes";
    const size_t tab = line.find('\t');
    std::string_view target = line.substr(0, tab);
    if (tab != std::string_view::npos) r.body = std::string(line.substr(tab + 1));
    const size_t q = target.find('?');
    r.path = std::string(target.substr(0, q));
    if (q != std::string_view::npos) {
      httplib::Params params;
      httplib::detail::parse_query_text(std::string(target.substr(q + 1)), params);
      for (const auto& [k, v] : params) r.query.emplace(k, v);
    }
    Check(server.Handle(r));
  }
  return 0;
}
