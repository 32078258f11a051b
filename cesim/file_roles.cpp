#include "file_roles.h"

#include "file_io.h"

namespace cesim {
namespace {

struct NamedFile {
  std::string role;  // how the command line named it
  std::filesystem::path file;
  bool written = false;
};

std::vector<NamedFile> FilesOf(const Options& options) {
  std::vector<NamedFile> files;
  if (options.registryFile) files.push_back({"--registry", *options.registryFile, true});
  if (options.romBlockFile) files.push_back({"--rom-block", *options.romBlockFile, false});
  if (options.image) {
    files.push_back({"--image", *options.image, false});
    if (auto symbols = SymbolsFile(options.inspection, *options.image)) {
      files.push_back(
          {options.inspection.symbols ? "--symbols" : "the image's symbols", *symbols, false});
    }
  }
  if (options.inspection.coverage) {
    files.push_back({"--coverage", *options.inspection.coverage, true});
  }
  if (options.traceFile) files.push_back({"--trace-file", *options.traceFile, true});
  return files;
}

}  // namespace

void CheckOutputsAreDistinct(const Options& options) {
  const std::vector<NamedFile> files = FilesOf(options);
  for (size_t i = 0; i < files.size(); ++i) {
    for (size_t j = i + 1; j < files.size(); ++j) {
      if (!files[i].written && !files[j].written) continue;
      if (!fileio::SameFile(files[i].file, files[j].file)) continue;
      const NamedFile& output = files[j].written ? files[j] : files[i];
      const NamedFile& other = &output == &files[j] ? files[i] : files[j];
      throw InputError(output.role + " " + output.file.string() + ": the same file as " +
                       other.role + " " + other.file.string() +
                       "; an output must not overwrite an input or another output");
    }
  }
}

}  // namespace cesim
