#include "cli/png_writer.h"

#include <png.h>

#include <csetjmp>
#include <vector>

namespace tarncli {
namespace {

enum class Kind { kGrey8, kGrey16, kRgb8 };

// What one PNG holds: `rows` rows, each ready in PNG byte order.
struct PngPlan {
  uint32_t width;
  uint32_t height;
  Kind kind;
  const uint8_t* const* rows;
};

// libpng reports errors by longjmp, so nothing with a destructor lives in
// this frame; the callers own every buffer.
bool Encode(const PngPlan& plan, FILE* out) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, out);
  const int depth = plan.kind == Kind::kGrey16 ? 16 : 8;
  const int type = plan.kind == Kind::kRgb8 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY;
  png_set_IHDR(png, info, plan.width, plan.height, depth, type, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (plan.kind == Kind::kGrey16) {
    png_color_8 significant{};
    significant.gray = 10;
    png_set_sBIT(png, info, &significant);
  }
  png_write_info(png, info);
  png_write_rows(png, const_cast<png_bytepp>(plan.rows), plan.height);
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

Status Finish(bool ok) {
  if (ok) return Status::Ok();
  return Status::Error(ExitCode::kFailure, "libpng could not write the PNG file");
}

}  // namespace

Status WritePngRaw(const Frame& frame, FILE* out) {
  const FrameInfo& f = frame.info;
  const size_t samples = size_t{f.width} * f.height;
  std::vector<uint8_t> wide;
  const uint8_t* data = frame.bytes.data();
  if (f.bits != 8) {
    // Big-endian 16-bit samples; the 10 bits are repeated into the low six
    // so that 1023 becomes 65535 and viewers show the full range.
    wide.resize(samples * 2);
    for (size_t i = 0; i < samples; ++i) {
      const uint16_t v10 = frame.words[i] & 1023;
      const uint16_t v16 = static_cast<uint16_t>(v10 << 6 | v10 >> 4);
      wide[2 * i] = static_cast<uint8_t>(v16 >> 8);
      wide[2 * i + 1] = static_cast<uint8_t>(v16 & 0xFF);
    }
    data = wide.data();
  }
  const size_t rowBytes = size_t{f.width} * (f.bits == 8 ? 1 : 2);
  std::vector<const uint8_t*> rows(f.height);
  for (uint32_t r = 0; r < f.height; ++r) rows[r] = data + r * rowBytes;
  return Finish(
      Encode({f.width, f.height, f.bits == 8 ? Kind::kGrey8 : Kind::kGrey16, rows.data()}, out));
}

Status WritePngRgb(const RgbImage& image, FILE* out) {
  const size_t pixels = size_t{image.width} * image.height;
  std::vector<uint8_t> interleaved(pixels * 3);
  for (size_t i = 0; i < pixels; ++i) {
    for (size_t c = 0; c < 3; ++c) interleaved[3 * i + c] = image.planes[c * pixels + i];
  }
  std::vector<const uint8_t*> rows(image.height);
  for (uint32_t r = 0; r < image.height; ++r) {
    rows[r] = interleaved.data() + size_t{r} * image.width * 3;
  }
  return Finish(Encode({image.width, image.height, Kind::kRgb8, rows.data()}, out));
}

}  // namespace tarncli
