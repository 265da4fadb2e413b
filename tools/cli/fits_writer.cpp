#include "cli/fits_writer.h"

#include <fitsio.h>

#include <cstdlib>
#include <string>

namespace tarncli {
namespace {

// One cfitsio memory file; closes and frees whatever happens.
// Building the file in memory keeps cfitsio away from the file system: its
// file names have a syntax of their own (brackets, "!", compression
// suffixes), and our own temporary-file handling decides where bytes land.
class MemoryFits {
 public:
  MemoryFits() { fits_create_memfile(&file, &memory, &size, 2880 * 64, realloc, &status); }
  ~MemoryFits() {
    if (file != nullptr) {
      int ignored = 0;
      fits_close_file(file, &ignored);
    }
    std::free(memory);
  }
  MemoryFits(const MemoryFits&) = delete;
  MemoryFits& operator=(const MemoryFits&) = delete;

  // Closes the file and writes its bytes out.
  Status Finish(FILE* out) {
    if (status == 0) {
      fits_close_file(file, &status);
      file = nullptr;
    }
    if (status != 0) return Failed();
    if (std::fwrite(memory, 1, size, out) != size) {
      return Status::Error(ExitCode::kFailure, "writing the FITS file failed");
    }
    return Status::Ok();
  }

  Status Failed() const {
    char text[FLEN_STATUS] = "";
    fits_get_errstatus(status, text);
    return Status::Error(ExitCode::kFailure, std::string("cfitsio: ") + text);
  }

  fitsfile* file = nullptr;
  void* memory = nullptr;
  size_t size = 0;
  int status = 0;
};

// The keywords capture programs look for: EXPTIME in seconds, DATE-OBS in
// UTC, the binning and window origin that calibration frames are matched by,
// and BAYERPAT for raw colour frames only (a demosaiced image has no mosaic).
// cfitsio only records an error in `st`; later calls are then no-ops.
void WriteKeys(MemoryFits& f, const FrameInfo& info, bool raw) {
  int& st = f.status;
  double exposure = info.exposureS;
  int gain = static_cast<int>(info.gain);
  int binning = 1;
  int xOrigin = static_cast<int>(info.xOrigin);
  int yOrigin = static_cast<int>(info.yOrigin);
  fits_update_key(f.file, TDOUBLE, "EXPTIME", &exposure, "[s] exposure time", &st);
  fits_update_key(f.file, TSTRING, "DATE-OBS", const_cast<char*>(info.dateObs.c_str()),
                  "UTC start of the exposure", &st);
  fits_update_key(f.file, TSTRING, "INSTRUME", const_cast<char*>(info.instrument.c_str()), "camera",
                  &st);
  fits_update_key(f.file, TINT, "GAIN", &gain, "gain setting, 0 to 100", &st);
  fits_update_key(f.file, TINT, "XBINNING", &binning, "binning factor in x", &st);
  fits_update_key(f.file, TINT, "YBINNING", &binning, "binning factor in y", &st);
  fits_update_key(f.file, TINT, "XORGSUBF", &xOrigin, "[px] sensor column of the window", &st);
  fits_update_key(f.file, TINT, "YORGSUBF", &yOrigin, "[px] sensor row of the window", &st);
  // Row 0 of the data is the first row the camera delivered.
  fits_update_key(f.file, TSTRING, "ROWORDER", const_cast<char*>("TOP-DOWN"), "order of the rows",
                  &st);
  if (raw && !info.bayerPattern.empty()) {
    int zero = 0;
    fits_update_key(f.file, TSTRING, "BAYERPAT", const_cast<char*>(info.bayerPattern.c_str()),
                    "colour cell at the first pixel", &st);
    fits_update_key(f.file, TINT, "XBAYROFF", &zero, "x offset of the colour cell", &st);
    fits_update_key(f.file, TINT, "YBAYROFF", &zero, "y offset of the colour cell", &st);
  }
  if (info.flipHorizontal || info.flipVertical) {
    const std::string flips = std::string("readout flipped") +
                              (info.flipHorizontal ? " horizontally" : "") +
                              (info.flipHorizontal && info.flipVertical ? " and" : "") +
                              (info.flipVertical ? " vertically" : "");
    fits_write_comment(f.file, flips.c_str(), &st);
  }
  if (!raw) fits_write_comment(f.file, "planes: red, green, blue", &st);
  fits_write_date(f.file, &st);
}

}  // namespace

Status WriteFitsRaw(const Frame& frame, FILE* out) {
  const FrameInfo& info = frame.info;
  MemoryFits f;
  long axes[2] = {static_cast<long>(info.width), static_cast<long>(info.height)};
  const LONGLONG samples = LONGLONG{info.width} * info.height;
  // USHORT_IMG is BITPIX 16 with BZERO 32768: cfitsio offsets on the way in.
  fits_create_img(f.file, info.bits == 8 ? BYTE_IMG : USHORT_IMG, 2, axes, &f.status);
  WriteKeys(f, info, true);
  if (info.bits == 8) {
    fits_write_img(f.file, TBYTE, 1, samples, const_cast<uint8_t*>(frame.bytes.data()), &f.status);
  } else {
    fits_write_img(f.file, TUSHORT, 1, samples, const_cast<uint16_t*>(frame.words.data()),
                   &f.status);
  }
  return f.Finish(out);
}

Status WriteFitsRgb(const FrameInfo& info, const RgbImage& image, FILE* out) {
  MemoryFits f;
  long axes[3] = {static_cast<long>(image.width), static_cast<long>(image.height), 3};
  // NAXIS3 = 3 planes of 8 bits: the planar form that FITS viewers show as
  // colour; the planes are stored one after another, red first.
  fits_create_img(f.file, BYTE_IMG, 3, axes, &f.status);
  WriteKeys(f, info, false);
  fits_write_img(f.file, TBYTE, 1, static_cast<LONGLONG>(image.planes.size()),
                 const_cast<uint8_t*>(image.planes.data()), &f.status);
  return f.Finish(out);
}

}  // namespace tarncli
