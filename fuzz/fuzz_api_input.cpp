// What the camera API takes from its caller without a camera to check it
// against: simulator options of any struct_size and content (tarncam_sim_add,
// tarncam_open_simulated), identifiers of any bytes and length
// (tarncam_open_id, tarncam_sim_set_connected, tarncam_sim_remove,
// tarncam_sim_camera_stats), and the versioned structures of the list and
// the error detail with any struct_size. Each buffer is exactly as large as
// what it claims to be, so AddressSanitizer sees any read or write beyond.
//
// Input: a sequence of operations, each an opcode byte and its operands.
// Simulated cameras added by one input are removed at its end.

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "sim/sim_camera.h"
#include "tarncam/tarncam_camera.h"

namespace {

// The options as a caller's buffer of `size` bytes (at least the size field),
// filled from the input over the defaults.
std::vector<uint8_t> OptionBytes(fuzz::Input& in) {
  tarncam_sim_options base;
  tarncam_sim_default_options(&base);
  const uint32_t claimed = in.U16();  // what struct_size says
  const std::size_t size =
      std::max<std::size_t>(sizeof(uint32_t), std::min<std::size_t>(claimed, sizeof base + 16));
  std::vector<uint8_t> bytes(size, 0);
  std::memcpy(bytes.data(), &base, std::min(size, sizeof base));
  const std::size_t patch = std::min<std::size_t>(in.U8(), size);
  for (std::size_t i = 0; i < patch; ++i) {
    const std::size_t at = in.U8() * size / 256;
    bytes[at] = static_cast<uint8_t>(in.U8());
  }
  std::memcpy(bytes.data(), &claimed, sizeof claimed);
  // Opening runs the camera: keep it on a virtual clock and its stars few.
  auto* o = reinterpret_cast<tarncam_sim_options*>(bytes.data());
  if (size >= offsetof(tarncam_sim_options, virtual_time) + sizeof(int32_t)) o->virtual_time = 1;
  if (size >= offsetof(tarncam_sim_options, star_count) + sizeof(uint32_t) && o->star_count > 200)
    o->star_count = 200;
  return bytes;
}

bool OnVirtualTime(const std::vector<uint8_t>& bytes) {
  return bytes.size() >= offsetof(tarncam_sim_options, virtual_time) + sizeof(int32_t);
}

// An identifier: one the input added, cut or extended, or any bytes.
std::string Id(fuzz::Input& in, const std::vector<std::string>& added) {
  std::string id;
  const uint32_t how = in.U8();
  if ((how & 1) != 0 && !added.empty()) {
    id = added[in.U8() % added.size()];
    if ((how & 2) != 0) id.resize(in.U8() % (id.size() + 1));
    if ((how & 4) != 0) id.push_back(static_cast<char>(in.U8()));
  } else {
    const std::size_t n = std::min<std::size_t>(in.U16() % 1200, in.RestSize());
    id.assign(reinterpret_cast<const char*>(in.Rest()), n);
    in.Skip(n);
  }
  return id;  // c_str() stops at an embedded NUL, as a caller's string would
}

void Check(tarncam_status s) {
  FUZZ_CHECK(s >= TARNCAM_OK && s <= TARNCAM_ERR_CLOSED);
  tarncam_error_detail d{};
  d.struct_size = sizeof d;
  FUZZ_CHECK(tarncam_last_error(&d) == TARNCAM_OK);
  FUZZ_CHECK(d.status == s);
  FUZZ_CHECK(std::memchr(d.message, 0, sizeof d.message) != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  std::vector<std::string> added;
  for (int ops = 0; ops < 16 && !in.Empty(); ++ops) {
    switch (in.U8() % 8) {
      case 0: {  // add a listed simulated camera, id into a buffer of any size
        const std::vector<uint8_t> o = OptionBytes(in);
        const std::size_t idSize = in.U16() % (TARNCAM_ID_SIZE + 8);
        std::unique_ptr<char[]> id(new char[idSize + 1]);
        id[idSize] = '\x7F';
        const tarncam_status s = tarncam_sim_add(
            reinterpret_cast<const tarncam_sim_options*>(o.data()), id.get(), idSize);
        Check(s);
        FUZZ_CHECK(id[idSize] == '\x7F');
        if (s == TARNCAM_OK) {
          FUZZ_CHECK(std::memchr(id.get(), 0, idSize) != nullptr);
          added.push_back(id.get());
          if (!OnVirtualTime(o)) added.pop_back(), tarncam_sim_remove(id.get());
        }
        break;
      }
      case 1: {  // open by identifier; closed again at once
        const std::string id = Id(in, added);
        tarncam_camera* cam = nullptr;
        const tarncam_status s = tarncam_open_id(id.c_str(), &cam);
        Check(s);
        FUZZ_CHECK((s == TARNCAM_OK) == (cam != nullptr));
        if (cam != nullptr) {
          tarncam_camera_info info{};
          info.struct_size = sizeof info;
          Check(tarncam_get_info(cam, &info));
          FUZZ_CHECK(std::strcmp(info.id, id.c_str()) == 0);
          FUZZ_CHECK(tarncam_close(cam) == TARNCAM_OK);
        }
        break;
      }
      case 2: {  // a camera of its own
        const std::vector<uint8_t> o = OptionBytes(in);
        if (!OnVirtualTime(o) && o.size() >= sizeof(uint32_t) &&
            reinterpret_cast<const tarncam_sim_options*>(o.data())->struct_size >=
                offsetof(tarncam_sim_options, replug_ms) + sizeof(uint32_t))
          break;  // would run on the real clock
        tarncam_camera* cam = nullptr;
        const tarncam_status s =
            tarncam_open_simulated(reinterpret_cast<const tarncam_sim_options*>(o.data()), &cam);
        Check(s);
        if (cam != nullptr) FUZZ_CHECK(tarncam_close(cam) == TARNCAM_OK);
        break;
      }
      case 3: {
        const std::string id = Id(in, added);
        Check(tarncam_sim_set_connected(id.c_str(), static_cast<int>(in.U32())));
        break;
      }
      case 4: {
        const std::string id = Id(in, added);
        tarncam_sim_stats stats{};
        Check(tarncam_sim_camera_stats(id.c_str(), &stats));
        break;
      }
      case 5: {
        const std::string id = Id(in, added);
        Check(tarncam_sim_remove(id.c_str()));
        break;
      }
      case 6: {  // the list, elements of any claimed size
        const uint32_t stride = in.U16() % (2 * sizeof(tarncam_camera_info) + 8);
        const uint32_t capacity = in.U8() % 4;
        std::vector<uint8_t> mem(std::max<std::size_t>(size_t{stride} * capacity, 4));
        std::memcpy(mem.data(), &stride, sizeof stride);
        uint32_t count = 0;
        const tarncam_status s = tarncam_list_cameras(
            capacity != 0 || (in.U8() & 1) ? reinterpret_cast<tarncam_camera_info*>(mem.data())
                                           : nullptr,
            capacity, &count);
        Check(s);
        FUZZ_CHECK(s == TARNCAM_OK || (capacity != 0 && stride < sizeof(tarncam_camera_info)));
        break;
      }
      default: {  // the error detail with any claimed size
        const uint32_t claimed = in.U16() % (2 * sizeof(tarncam_error_detail));
        std::vector<uint8_t> mem(std::max<std::size_t>(claimed, 4));
        std::memcpy(mem.data(), &claimed, sizeof claimed);
        const tarncam_status s =
            tarncam_last_error(reinterpret_cast<tarncam_error_detail*>(mem.data()));
        FUZZ_CHECK((s == TARNCAM_OK) == (claimed >= sizeof(tarncam_error_detail)));
        break;
      }
    }
  }
  for (const std::string& id : added) tarncam_sim_remove(id.c_str());
  return 0;
}
