#pragma once
// The Alpaca wire format, apart from any camera: how parameters are found
// and read, the ASCOM error numbers, the JSON reply and the ImageBytes form.
// Pure functions, so that the fuzzer and the tests reach them directly.

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace alpaca {

// ASCOM error numbers. Clients turn each into its own exception type, so a
// wrong number surfaces in the application as the wrong kind of failure.
enum Error : int {
  kOk = 0,
  kNotImplemented = 0x400,
  kInvalidValue = 0x401,
  kValueNotSet = 0x402,
  kNotConnected = 0x407,
  kInvalidOperation = 0x40B,
  kActionNotImplemented = 0x40C,
  kOperationCancelled = 0x40E,
  kDriverError = 0x500,  // 0x500 .. 0xFFF: the device's own failures
};

// A request the HTTP layer could not make sense of: answered with HTTP 400
// and the message as plain text, as Alpaca wants for transport-level faults.
struct BadRequest : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The parameters of one request. A GET carries them in the query, where any
// casing of a name is accepted; a PUT in its form-encoded body, where names
// are matched exactly (a client sending `duration` instead of `Duration` has
// not sent Duration).
class Params {
 public:
  static Params FromQuery(const std::multimap<std::string, std::string>& query);
  static Params FromForm(std::string_view body);  // application/x-www-form-urlencoded

  std::optional<std::string> Find(std::string_view name) const;
  bool caseSensitive() const { return caseSensitive_; }

  // Required parameters: missing or unparseable is BadRequest.
  std::string String(std::string_view name) const;
  int32_t Int(std::string_view name) const;
  double Double(std::string_view name) const;
  bool Bool(std::string_view name) const;

  // ClientID and ClientTransactionID: 0 when absent or not a uint32.
  uint32_t TransactionValue(std::string_view name) const;

 private:
  std::vector<std::pair<std::string, std::string>> items_;
  bool caseSensitive_ = false;
};

// Strict readers: the whole text, no spaces, no thousands separators.
std::optional<int32_t> ParseInt32(std::string_view text);
std::optional<uint32_t> ParseUint32(std::string_view text);
std::optional<double> ParseDouble(std::string_view text);  // finite only
std::optional<bool> ParseBool(std::string_view text);      // True/False, any casing

// The outcome of one member: a value, or an ASCOM error with its message.
struct Outcome {
  int error = kOk;
  std::string message;
  std::optional<nlohmann::json> value;

  static Outcome Value(nlohmann::json v) { return Outcome{kOk, {}, std::move(v)}; }
  static Outcome Done() { return Outcome{}; }
  static Outcome Fail(int error, std::string message) {
    return Outcome{error, std::move(message), {}};
  }
};

// The JSON reply every Alpaca call gets (Value only where there is one).
std::string JsonReply(const Outcome& outcome, uint32_t clientTransactionId,
                      uint32_t serverTransactionId);

// UTC as ASCOM's LastExposureStartTime wants it: CCYY-MM-DDThh:mm:ss.sss.
std::string FitsUtc(int64_t utcNs);

// A frame as the camera delivers it: `height` rows of `width` samples of
// 1 or 2 bytes (host order).
struct FrameView {
  const uint8_t* data = nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t bytesPerSample = 1;
  uint32_t Sample(uint32_t x, uint32_t y) const;
};

// ImageArray as JSON: Value[x][y], Type 2 (Int32), Rank 2.
std::string ImageArrayJson(const FrameView& frame, uint32_t clientTransactionId,
                           uint32_t serverTransactionId);

constexpr size_t kImageBytesHeaderSize = 44;
enum ImageElementType : int32_t { kElementInt32 = 2, kElementByte = 6, kElementUInt16 = 8 };

// application/imagebytes: the 44-byte header, then the samples in [x][y]
// order (y fastest) as bytes or little-endian UInt16, declared Int32 to the
// client so that it builds the array every camera client expects.
std::string ImageBytes(const FrameView& frame, uint32_t clientTransactionId,
                       uint32_t serverTransactionId);
// The same form for a failure: the header with the error number, then the
// message in UTF-8.
std::string ImageBytesError(int error, const std::string& message, uint32_t clientTransactionId,
                            uint32_t serverTransactionId);

// Whether an Accept header asks for application/imagebytes.
bool AcceptsImageBytes(std::string_view accept);

}  // namespace alpaca
