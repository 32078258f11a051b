// imagewriter: makes the device image, a Windows CE 4.20 ARM executable, from the linked program,
// the compiled resources and the import list. The options are CLI11's to parse, as cesim's are.
#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image_error.h"
#include "import_list.h"
#include "linked_program.h"
#include "output_file.h"
#include "res_file.h"
#include "writer.h"

namespace imagewriter {
namespace {

constexpr std::string_view kUsage =
    R"(Usage: imagewriter --elf FILE --res FILE --imports FILE --output FILE

Writes a Windows CE 4.20 ARM executable (PE32, subsystem CE GUI, image base 0x10000) made of a
linked ARM ELF program, compiled resources and the routines the program imports.

  --elf FILE      the linked program: an ARM ELF executable, linked at the image's addresses
                  (sections on 0x1000 pages from 0x11000), with its symbol table
  --res FILE      compiled resources (.res) for the image's resource section
  --imports FILE  the import list: "library NAME", then a "ROUTINE ORDINAL" line for each routine
                  the program may import; the program's import slots are named __imp_ROUTINE
  --output FILE   the image to write; it is replaced only by a complete image
  --help          show this text

The image's time stamp is SOURCE_DATE_EPOCH when that is set, else 0. A refusal is one line on
standard error naming the file and the problem; the exit status is then 1.
)";

struct Options {
  std::string program;
  std::string resources;
  std::string imports;
  std::string output;
};

// The options, or nothing when --help was asked for. Throws CLI::ParseError.
std::optional<Options> ParseOptions(int argc, const char* const* argv) {
  Options options;
  CLI::App parser;
  parser.set_help_flag("--help");
  const CLI::Validator fileName(
      [](const std::string& value) { return value.empty() ? "needs a file name" : ""; }, "FILE");
  for (const auto& [name, value] : {std::pair{"--elf", &options.program},
                                    {"--res", &options.resources},
                                    {"--imports", &options.imports},
                                    {"--output", &options.output}}) {
    parser.add_option(name, *value)->required()->check(fileName);
  }
  try {
    parser.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    return std::nullopt;
  }
  return options;
}

// Seconds since 1970 from SOURCE_DATE_EPOCH, so that a rebuild gives the same bytes; 0 unset.
uint32_t TimeStamp() {
  const char* text = std::getenv("SOURCE_DATE_EPOCH");
  if (text == nullptr) return 0;
  std::string_view digits(text);
  uint32_t seconds = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), seconds);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
    throw ImageError("SOURCE_DATE_EPOCH",
                     "\"" + Printable(digits) + "\" is not a count of seconds up to 4294967295");
  }
  return seconds;
}

void MakeImage(const Options& options) {
  // Read the inputs. The resource entries and program sections point into these bytes.
  std::vector<uint8_t> program = ReadInputFile(options.program);
  std::vector<uint8_t> resources = ReadInputFile(options.resources);
  std::vector<uint8_t> imports = ReadInputFile(options.imports);
  ImageInputs inputs{
      .programFile = options.program,
      .resourceFile = options.resources,
      .importListFile = options.imports,
      .program = ReadLinkedProgram(program, options.program, kProgramRange, kSectionAlignment),
      .resources = res::ReadResFile(resources, options.resources),
      .imports = ParseImportList(imports, options.imports),
      .timeStamp = TimeStamp(),
  };
  // Lay out the sections, build the imports and resources, write the headers and sections.
  std::vector<uint8_t> image = WriteImage(inputs);
  // Write the file, all of it or nothing.
  ReplaceFile(options.output, image);
}

}  // namespace
}  // namespace imagewriter

int main(int argc, char** argv) {
  using namespace imagewriter;
  try {
    std::optional<Options> options = ParseOptions(argc, argv);
    if (!options) {
      std::cout << kUsage;
      return 0;
    }
    MakeImage(*options);
    return 0;
  } catch (const CLI::ParseError& error) {
    std::cerr << "imagewriter: " << error.what() << "; see imagewriter --help\n";
    return 2;
  } catch (const std::exception& error) {
    // ImageError and res::ResFileError name the file and the problem.
    std::cerr << "imagewriter: " << error.what() << "\n";
    return 1;
  }
}
