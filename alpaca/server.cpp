#include "alpaca/server.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>

namespace alpaca {
namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= path.size()) {
    const size_t j = std::min(path.find('/', i), path.size());
    parts.push_back(path.substr(i, j - i));
    i = j + 1;
  }
  return parts;
}

Reply Text(int status, const std::string& text) { return Reply{status, "text/plain", text}; }

std::string LibraryVersion() {
  const uint32_t v = tarncam_library_version();
  return std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xFF) + "." +
         std::to_string(v & 0xFF);
}

}  // namespace

Server::Server(ServerOptions options) : options_(std::move(options)) {}

Server::~Server() { Stop(); }

void Server::AddCamera(const std::string& id, const std::string& label, bool colour) {
  std::lock_guard<std::mutex> lk(devicesMu_);
  for (const auto& d : devices_)
    if (d->id() == id) return;
  devices_.push_back(
      std::make_shared<CameraDevice>(static_cast<uint32_t>(devices_.size()), id, label, colour));
}

void Server::AddCamerasPresent() { Rescan(); }

void Server::Rescan() {
  uint32_t count = 0;
  if (tarncam_list_cameras(nullptr, 0, &count) != TARNCAM_OK || count == 0) return;
  std::vector<tarncam_camera_info> infos(count + 4);
  infos[0].struct_size = sizeof infos[0];
  if (tarncam_list_cameras(infos.data(), static_cast<uint32_t>(infos.size()), &count) != TARNCAM_OK)
    return;
  count = std::min<uint32_t>(count, static_cast<uint32_t>(infos.size()));
  for (uint32_t i = 0; i < count; ++i) {
    const tarncam_camera_info& c = infos[i];
    std::string label = c.simulated ? "simulated camera " : "camera ";
    label += c.simulated ? std::string(c.id) : (c.location[0] ? c.location : c.id);
    AddCamera(c.id, label, c.colour == 1);
  }
}

size_t Server::deviceCount() {
  std::lock_guard<std::mutex> lk(devicesMu_);
  return devices_.size();
}

std::shared_ptr<CameraDevice> Server::Device(uint32_t number) {
  std::lock_guard<std::mutex> lk(devicesMu_);
  return number < devices_.size() ? devices_[number] : nullptr;
}

bool Server::Start(std::string* error) {
  http_ = std::make_unique<httplib::Server>();
  // Alpaca's writes are a few form fields; nothing needs a large body.
  http_->set_payload_max_length(64 * 1024);
  auto adapt = [this](const httplib::Request& in, httplib::Response& out) {
    Request r;
    r.method = in.method;
    r.path = in.path;
    if (in.method == "PUT") {
      r.body = in.body;
    } else {
      for (const auto& [k, v] : in.params) r.query.emplace(k, v);
    }
    r.accept = in.get_header_value("Accept");
    const Reply reply = Handle(r);
    out.status = reply.status;
    out.set_content(reply.body, reply.contentType.c_str());
  };
  http_->Get(R"(/.*)", adapt);
  http_->Put(R"(/.*)", adapt);
  http_->Post(R"(/.*)", adapt);
  http_->Delete(R"(/.*)", adapt);
  if (options_.port == 0) {
    port_ = http_->bind_to_any_port(options_.bind);
  } else {
    port_ = http_->bind_to_port(options_.bind, options_.port) ? options_.port : -1;
  }
  if (port_ <= 0) {
    *error = "cannot listen on " + options_.bind + " port " + std::to_string(options_.port);
    http_.reset();
    return false;
  }
  if (options_.discovery) {
    discovery_ = std::make_unique<Discovery>();
    if (!discovery_->Start(options_.discoveryPort, port_, error)) {
      discovery_.reset();
      http_.reset();
      return false;
    }
  }
  httpThread_ = std::thread([this] { http_->listen_after_bind(); });
  return true;
}

void Server::Stop() {
  if (discovery_) discovery_->Stop();
  if (http_) {
    http_->stop();
    if (httpThread_.joinable()) httpThread_.join();
    http_.reset();
  }
  std::vector<std::shared_ptr<CameraDevice>> devices;
  {
    std::lock_guard<std::mutex> lk(devicesMu_);
    devices = devices_;
  }
  for (const auto& d : devices) d->Close();
}

Reply Server::Json(const Outcome& outcome, uint32_t clientTransactionId) {
  return Reply{200, "application/json",
               JsonReply(outcome, clientTransactionId, ++serverTransactionId_)};
}

Reply Server::Handle(const Request& request) {
  try {
    const std::vector<std::string> parts = Split(request.path);
    // parts[0] is the empty text before the leading slash.
    if (parts.size() >= 2 && parts[0].empty() && parts[1] == "api") {
      if (parts.size() == 6 && parts[2] == "v1")
        return HandleApi(request, parts[3], parts[4], parts[5]);
      return Text(400, "not a device API path (/api/v1/camera/N/member): " + request.path);
    }
    if (parts.size() >= 2 && parts[0].empty() && parts[1] == "management") {
      if (request.method != "GET") return Text(400, "the management API is read with GET");
      const Params params = Params::FromQuery(request.query);
      const uint32_t client = params.TransactionValue("ClientTransactionID");
      const std::string rest = Lower(request.path);
      if (rest == "/management/apiversions") {
        return Json(Outcome::Value(nlohmann::json::array({1})), client);
      }
      if (rest == "/management/v1/description") {
        return Json(Outcome::Value({{"ServerName", "tarncam-alpaca"},
                                    {"Manufacturer", "tarncam"},
                                    {"ManufacturerVersion", LibraryVersion()},
                                    {"Location", options_.location}}),
                    client);
      }
      if (rest == "/management/v1/configureddevices") {
        Rescan();
        nlohmann::json list = nlohmann::json::array();
        std::vector<std::shared_ptr<CameraDevice>> devices;
        {
          std::lock_guard<std::mutex> lk(devicesMu_);
          devices = devices_;
        }
        for (const auto& d : devices) {
          list.push_back({{"DeviceName", d->Name()},
                          {"DeviceType", "Camera"},
                          {"DeviceNumber", d->number()},
                          {"UniqueID", d->UniqueId()}});
        }
        return Json(Outcome::Value(std::move(list)), client);
      }
      return Text(400, "no such management member: " + request.path);
    }
    if (request.path == "/" || request.path.empty()) {
      return Text(
          200, "tarncam-alpaca: an Alpaca camera server; see /management/v1/configureddevices\n");
    }
    return Text(404, "not an Alpaca path: " + request.path);
  } catch (const BadRequest& e) {
    return Text(400, e.what());
  }
}

Reply Server::HandleApi(const Request& request, const std::string& type, const std::string& number,
                        const std::string& member) {
  // Lower case only, as the standard spells paths (its checker sends
  // "CAMERA" expecting a refusal).
  if (type != "camera") return Text(400, "this server serves cameras only, not '" + type + "'");
  const bool put = request.method == "PUT";
  if (!put && request.method != "GET")
    return Text(400, "Alpaca reads with GET and writes with PUT");
  // Digits only: "+1", " 1" or "01x" are not device numbers.
  const std::optional<uint32_t> n =
      std::all_of(number.begin(), number.end(), [](unsigned char c) { return std::isdigit(c); })
          ? ParseUint32(number)
          : std::nullopt;
  const std::shared_ptr<CameraDevice> device = n ? Device(*n) : nullptr;
  if (!device) return Text(400, "no camera with device number '" + number + "'");

  const Params params = put ? Params::FromForm(request.body) : Params::FromQuery(request.query);
  const uint32_t client = params.TransactionValue("ClientTransactionID");
  std::shared_ptr<const Image> image;
  const Outcome outcome = device->Handle(put, Lower(member), params, &image);
  const bool isImage = Lower(member) == "imagearray" || Lower(member) == "imagearrayvariant";
  if (isImage && AcceptsImageBytes(request.accept)) {
    const uint32_t server = ++serverTransactionId_;
    if (image && outcome.error == kOk) {
      return Reply{200, "application/imagebytes", ImageBytes(image->View(), client, server)};
    }
    return Reply{200, "application/imagebytes",
                 ImageBytesError(outcome.error, outcome.message, client, server)};
  }
  if (isImage && image && outcome.error == kOk) {
    return Reply{200, "application/json",
                 ImageArrayJson(image->View(), client, ++serverTransactionId_)};
  }
  return Json(outcome, client);
}

}  // namespace alpaca
