#include "alpaca/protocol.h"

#include <httplib.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "tools/common/fits_time.h"

namespace alpaca {
namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string Quote(std::string_view name) { return "'" + std::string(name) + "'"; }

void PutLe32(std::string& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string Header(int error, uint32_t client, uint32_t server, int32_t elementType,
                   int32_t transmissionType, uint32_t rank, uint32_t dim1, uint32_t dim2) {
  std::string h(kImageBytesHeaderSize, '\0');
  const uint32_t fields[11] = {1,
                               static_cast<uint32_t>(error),
                               client,
                               server,
                               static_cast<uint32_t>(kImageBytesHeaderSize),
                               static_cast<uint32_t>(elementType),
                               static_cast<uint32_t>(transmissionType),
                               rank,
                               dim1,
                               dim2,
                               0};
  for (size_t i = 0; i < 11; ++i) PutLe32(h, i * 4, fields[i]);
  return h;
}

}  // namespace

Params Params::FromQuery(const std::multimap<std::string, std::string>& query) {
  Params p;
  p.caseSensitive_ = false;
  for (const auto& [k, v] : query) p.items_.emplace_back(k, v);
  return p;
}

Params Params::FromForm(std::string_view body) {
  Params p;
  p.caseSensitive_ = true;
  httplib::Params parsed;
  httplib::detail::parse_query_text(std::string(body), parsed);
  for (const auto& [k, v] : parsed) p.items_.emplace_back(k, v);
  return p;
}

std::optional<std::string> Params::Find(std::string_view name) const {
  for (const auto& [k, v] : items_) {
    if (caseSensitive_ ? k == name : EqualNoCase(k, name)) return v;
  }
  return std::nullopt;
}

std::string Params::String(std::string_view name) const {
  std::optional<std::string> v = Find(name);
  if (!v) throw BadRequest("missing parameter " + Quote(name));
  return *v;
}

int32_t Params::Int(std::string_view name) const {
  const std::string text = String(name);
  if (std::optional<int32_t> v = ParseInt32(text)) return *v;
  throw BadRequest("parameter " + Quote(name) + " is not an integer: " + Quote(text));
}

double Params::Double(std::string_view name) const {
  const std::string text = String(name);
  if (std::optional<double> v = ParseDouble(text)) return *v;
  throw BadRequest("parameter " + Quote(name) + " is not a number: " + Quote(text));
}

bool Params::Bool(std::string_view name) const {
  const std::string text = String(name);
  if (std::optional<bool> v = ParseBool(text)) return *v;
  throw BadRequest("parameter " + Quote(name) + " is not True or False: " + Quote(text));
}

uint32_t Params::TransactionValue(std::string_view name) const {
  std::optional<std::string> v = Find(name);
  if (!v) return 0;
  return ParseUint32(*v).value_or(0);
}

std::optional<int32_t> ParseInt32(std::string_view text) {
  int32_t v = 0;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || p != end) return std::nullopt;
  return v;
}

std::optional<uint32_t> ParseUint32(std::string_view text) {
  uint32_t v = 0;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || p != end) return std::nullopt;
  return v;
}

std::optional<double> ParseDouble(std::string_view text) {
  double v = 0;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || p != end || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<bool> ParseBool(std::string_view text) {
  if (EqualNoCase(text, "true")) return true;
  if (EqualNoCase(text, "false")) return false;
  return std::nullopt;
}

std::string JsonReply(const Outcome& outcome, uint32_t clientTransactionId,
                      uint32_t serverTransactionId) {
  nlohmann::json j;
  if (outcome.value) j["Value"] = *outcome.value;
  j["ClientTransactionID"] = clientTransactionId;
  j["ServerTransactionID"] = serverTransactionId;
  j["ErrorNumber"] = outcome.error;
  j["ErrorMessage"] = outcome.message;
  // Messages may quote what a client sent: never let a stray byte sink the
  // reply.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string FitsUtc(int64_t utcNs) { return tarnapp::FitsUtc(utcNs); }

uint32_t FrameView::Sample(uint32_t x, uint32_t y) const {
  const size_t i = size_t{y} * width + x;
  if (bytesPerSample == 1) return data[i];
  uint16_t v;
  std::memcpy(&v, data + 2 * i, 2);
  return v;
}

std::string ImageArrayJson(const FrameView& frame, uint32_t clientTransactionId,
                           uint32_t serverTransactionId) {
  // Written out by hand: a full frame is 360,960 numbers, which a JSON
  // document tree would hold as as many nodes.
  std::string out;
  out.reserve(size_t{frame.width} * frame.height * (frame.bytesPerSample == 1 ? 4 : 5) + 256);
  out += "{\"Type\":2,\"Rank\":2,\"Value\":[";
  char num[16];
  for (uint32_t x = 0; x < frame.width; ++x) {
    if (x) out += ',';
    out += '[';
    for (uint32_t y = 0; y < frame.height; ++y) {
      if (y) out += ',';
      auto [p, ec] = std::to_chars(num, num + sizeof num, frame.Sample(x, y));
      out.append(num, p);
    }
    out += ']';
  }
  out += "],\"ClientTransactionID\":" + std::to_string(clientTransactionId) +
         ",\"ServerTransactionID\":" + std::to_string(serverTransactionId) +
         ",\"ErrorNumber\":0,\"ErrorMessage\":\"\"}";
  return out;
}

std::string ImageBytes(const FrameView& frame, uint32_t clientTransactionId,
                       uint32_t serverTransactionId) {
  const bool wide = frame.bytesPerSample == 2;
  std::string out = Header(kOk, clientTransactionId, serverTransactionId, kElementInt32,
                           wide ? kElementUInt16 : kElementByte, 2, frame.width, frame.height);
  const size_t n = size_t{frame.width} * frame.height;
  out.resize(kImageBytesHeaderSize + n * frame.bytesPerSample);
  // The array is [x][y], so y runs fastest: a transpose of the camera's
  // rows, done in tiles so that both sides stay in cache.
  auto transpose = [&](auto sample) {
    using T = decltype(sample);
    const T* src = reinterpret_cast<const T*>(frame.data);
    char* dst = out.data() + kImageBytesHeaderSize;
    constexpr uint32_t kTile = 64;
    for (uint32_t x0 = 0; x0 < frame.width; x0 += kTile) {
      const uint32_t x1 = std::min(frame.width, x0 + kTile);
      for (uint32_t y0 = 0; y0 < frame.height; y0 += kTile) {
        const uint32_t y1 = std::min(frame.height, y0 + kTile);
        for (uint32_t x = x0; x < x1; ++x) {
          char* d = dst + (size_t{x} * frame.height + y0) * sizeof(T);
          for (uint32_t y = y0; y < y1; ++y) {
            T v;
            std::memcpy(&v, src + size_t{y} * frame.width + x, sizeof v);
            // Little-endian on the wire whatever the host.
            for (size_t b = 0; b < sizeof(T); ++b) *d++ = static_cast<char>((v >> (8 * b)) & 0xFF);
          }
        }
      }
    }
  };
  if (wide) {
    transpose(uint16_t{});
  } else {
    transpose(uint8_t{});
  }
  return out;
}

std::string ImageBytesError(int error, const std::string& message, uint32_t clientTransactionId,
                            uint32_t serverTransactionId) {
  return Header(error, clientTransactionId, serverTransactionId, 0, 0, 0, 0, 0) + message;
}

bool AcceptsImageBytes(std::string_view accept) {
  std::string lower(accept);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.find("application/imagebytes") != std::string::npos;
}

}  // namespace alpaca
