// A shared library opened when first needed rather than when the program starts, and the
// routines looked up in it. cesim reads symbols, lines and disassembly in few of its runs, and the
// libraries that do it (elfutils, capstone) would otherwise be mapped and relocated in every one.
#pragma once

#include <initializer_list>
#include <stdexcept>
#include <string>

namespace debuginfo {

class SharedLibrary {
 public:
  // Opens the first of `files` that loads; `what` names the library in errors. The library stays
  // loaded for the life of the process, as the routines found in it may be called until the end.
  // Throws std::runtime_error.
  SharedLibrary(std::string what, std::initializer_list<const char*> files);

  // Sets `routine` to the routine `name`, searched in the library and the libraries it needs.
  // Throws std::runtime_error when there is none.
  template <typename Routine>
  void Find(const char* name, Routine& routine) const {
    routine = reinterpret_cast<Routine>(Address(name));
  }

 private:
  void* Address(const char* name) const;

  std::string what_;
  void* handle_ = nullptr;
};

}  // namespace debuginfo
