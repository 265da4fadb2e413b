#pragma once
// The camera's USB controller: a microcontroller whose program lives in RAM.
// Request 0xA0 writes its memory at any time (the loader is in silicon);
// address 0xE600 is the CPU control register, whose bit 0 holds the CPU in
// reset. What happens when the reset is released depends on what was written
// while it was held:
//  - nothing, on a controller already running firmware: the program restarts
//    in place (the sensor loses its settings, the device stays on the bus);
//  - a download, or anything on a blank controller: the new program starts
//    and presents the controller afresh, so the device drops off the bus and
//    comes back, programmed only when the download equals the expected image
//    byte for byte (every byte of every data record at its address, and no
//    other byte written).

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "usb/firmware.h"

namespace sim {

class Fx2Model {
 public:
  enum class Release { kNone, kRestart, kRenumerate };

  // `image`: the firmware the camera's own program is, as the library embeds
  // it. `staysBlank`: downloads never take.
  Fx2Model(std::span<const tarncam::FirmwareRecord> image, bool programmed, bool staysBlank);

  // Stores `length` bytes at `address`. Returns what a write to the CPU
  // control register set off (kNone for every other write).
  Release Write(uint16_t address, const uint8_t* data, uint32_t length);

  // Power lost: the RAM program is gone and the CPU runs nothing.
  void PowerLoss();

  bool Programmed() const { return programmed; }
  // The program runs: programmed and not held in reset.
  bool Running() const { return programmed && !held; }
  uint8_t Peek(uint16_t address) const { return ram[address]; }

 private:
  bool DownloadMatches() const;

  struct Expected {
    uint16_t address;
    uint8_t value;
  };
  std::vector<Expected> expected;  // every byte of the image's data records
  std::array<uint8_t, 65536> ram{};
  std::vector<uint16_t> writtenList;  // addresses written since the hold began
  std::array<bool, 65536> written{};
  bool programmed;
  bool staysBlank;
  bool held = false;
};

}  // namespace sim
