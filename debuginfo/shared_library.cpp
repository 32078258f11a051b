#include "shared_library.h"

#include <dlfcn.h>

#include <utility>

namespace debuginfo {

SharedLibrary::SharedLibrary(std::string what, std::initializer_list<const char*> files)
    : what_(std::move(what)) {
  std::string error = "no file to open";
  for (const char* file : files) {
    handle_ = dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (handle_) return;
    error = dlerror();
  }
  throw std::runtime_error(what_ + " cannot be loaded: " + error);
}

void* SharedLibrary::Address(const char* name) const {
  void* address = dlsym(handle_, name);
  if (!address) throw std::runtime_error(what_ + " lacks " + name);
  return address;
}

}  // namespace debuginfo
