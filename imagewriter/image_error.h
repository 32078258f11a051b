// How the writer refuses an input: one line that names the file and the problem.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "binary.h"

namespace imagewriter {

// An input the image cannot be made from. what() is "<file>: <problem>", on one line.
class ImageError : public std::runtime_error {
 public:
  ImageError(std::string_view file, std::string_view problem)
      : std::runtime_error(std::string(file) + ": " + std::string(problem)) {}
};

using binary::Hex;
using binary::Printable;

}  // namespace imagewriter
