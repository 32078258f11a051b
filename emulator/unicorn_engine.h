// The unicorn engine, owned: opened for ARM with a chosen CPU model, closed with the object. Every
// engine call is checked; a failure throws EngineError with the engine's own text.
#pragma once

#include <unicorn/unicorn.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace emulator {

struct EngineError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class UnicornEngine {
 public:
  explicit UnicornEngine(int cpuModel);
  ~UnicornEngine();
  UnicornEngine(const UnicornEngine&) = delete;
  UnicornEngine& operator=(const UnicornEngine&) = delete;

  uc_engine* get() const { return engine_; }

  // For a process's last run: leaves the engine for the end of the process to release rather
  // than closing it, which frees its thousands of allocations one by one and costs a run about a
  // millisecond. The engine must not be used again.
  void LeaveOpenUntilExit();

  uint32_t Register(int id) const;
  void SetRegister(int id, uint32_t value);

  // Throws EngineError naming `what` when `result` is not UC_ERR_OK.
  static void Check(uc_err result, const char* what);

 private:
  uc_engine* engine_ = nullptr;
};

}  // namespace emulator
