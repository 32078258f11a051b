#include "output_file.h"

#include "file_io.h"
#include "image_error.h"

namespace imagewriter {
namespace {

// Far above any linked program, resource file or import list the writer is meant for.
constexpr size_t kMaxInputSize = 64 * 1024 * 1024;

}  // namespace

std::vector<uint8_t> ReadInputFile(const std::string& path) {
  try {
    return fileio::ReadWholeFile(path, kMaxInputSize);
  } catch (const fileio::FileError& error) {
    if (error.step == fileio::FileStep::kTooLarge) throw ImageError(path, "larger than 64 MiB");
    throw ImageError(path, "cannot read: " + error.code.message());
  }
}

void ReplaceFile(const std::string& path, std::span<const uint8_t> bytes) {
  try {
    fileio::ReplaceFile(path, bytes);
  } catch (const fileio::FileError& error) {
    const bool created = error.step != fileio::FileStep::kCreateTemporary;
    throw ImageError(path, (created ? "cannot write: " : "cannot create a file beside it: ") +
                               error.code.message());
  }
}

}  // namespace imagewriter
