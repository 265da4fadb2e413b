#include "sim/fx2_model.h"

#include "usb/requests.h"

namespace sim {

Fx2Model::Fx2Model(std::span<const tarncam::FirmwareRecord> image, bool isProgrammed,
                   bool blankForever)
    : programmed(isProgrammed && !blankForever), staysBlank(blankForever) {
  // The image ends at its first record that is not a data record, exactly
  // where a download stops.
  for (const tarncam::FirmwareRecord& r : image) {
    if (r.type != 0) break;
    const uint16_t base = static_cast<uint16_t>(r.address[0] | r.address[1] << 8);
    for (uint32_t i = 0; i < r.length && i < 16; ++i)
      expected.push_back({static_cast<uint16_t>(base + i), r.data[i]});
  }
}

bool Fx2Model::DownloadMatches() const {
  // Each image byte written with its value, and nothing else written: the
  // image's records never overlap, so equal counts mean no stray byte.
  for (const Expected& e : expected)
    if (!written[e.address] || ram[e.address] != e.value) return false;
  return writtenList.size() == expected.size();
}

void Fx2Model::PowerLoss() {
  ram.fill(0);
  for (uint16_t w : writtenList) written[w] = false;
  writtenList.clear();
  programmed = false;
  held = false;
}

Fx2Model::Release Fx2Model::Write(uint16_t address, const uint8_t* data, uint32_t length) {
  Release result = Release::kNone;
  for (uint32_t i = 0; i < length; ++i) {
    const uint16_t at = static_cast<uint16_t>(address + i);
    const uint8_t b = data[i];
    if (at != tarncam::kCpuControlRegister) {
      ram[at] = b;
      if (!written[at]) {
        written[at] = true;
        writtenList.push_back(at);
      }
      continue;
    }
    ram[at] = b;
    const bool hold = (b & 1) != 0;
    if (hold && !held) {
      // A new hold starts a new download record.
      held = true;
      for (uint16_t w : writtenList) written[w] = false;
      writtenList.clear();
    } else if (!hold && held) {
      held = false;
      if (programmed && writtenList.empty()) {
        result = Release::kRestart;
      } else {
        programmed = !staysBlank && DownloadMatches();
        result = Release::kRenumerate;
      }
    }
  }
  return result;
}

}  // namespace sim
