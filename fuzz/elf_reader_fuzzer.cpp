// The image writer's reader of the linked program over any bytes: a file the image cannot be made
// from is refused with ImageError and a one-line message; whatever it accepts keeps its sections
// inside the file and the program's address range, page aligned and in order.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "image_error.h"
#include "linked_program.h"
#include "writer.h"

namespace {

using imagewriter::kProgramRange;
using imagewriter::kSectionAlignment;

bool OneLine(const char* message) {
  return *message != '\0' && !std::strchr(message, '\n');
}

bool Inside(std::span<const uint8_t> piece, std::span<const uint8_t> file) {
  return piece.empty() ||
         (piece.data() >= file.data() && piece.data() + piece.size() <= file.data() + file.size());
}

void CheckProgram(const imagewriter::LinkedProgram& program, std::span<const uint8_t> file) {
  uint64_t previousEnd = kProgramRange.begin;
  for (const imagewriter::ProgramSection& section : program.sections) {
    const uint64_t end = uint64_t{section.address} + section.size;
    if (section.address % kSectionAlignment != 0 || section.address < previousEnd ||
        end > kProgramRange.end) {
      __builtin_trap();
    }
    if (!Inside(section.contents, file) || section.contents.size() > section.size) {
      __builtin_trap();
    }
    previousEnd = end;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> file{data, size};
  try {
    CheckProgram(imagewriter::ReadLinkedProgram(file, "fuzz.elf", kProgramRange, kSectionAlignment),
                 file);
  } catch (const imagewriter::ImageError& error) {
    if (!OneLine(error.what())) __builtin_trap();
  }
  return 0;
}
