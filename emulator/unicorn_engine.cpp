#include "unicorn_engine.h"

#include <utility>
#include <vector>

namespace emulator {

UnicornEngine::UnicornEngine(int cpuModel) {
  Check(uc_open(UC_ARCH_ARM, UC_MODE_ARM, &engine_), "uc_open");
  // The model must be chosen before the first mapping.
  uc_err result = uc_ctl_set_cpu_model(engine_, cpuModel);
  if (result != UC_ERR_OK) {
    uc_close(engine_);
    Check(result, "uc_ctl_set_cpu_model");
  }
}

UnicornEngine::~UnicornEngine() {
  if (engine_) uc_close(engine_);
}

void UnicornEngine::LeaveOpenUntilExit() {
  // Held where the leak checker of a sanitized build sees it, so that it is not taken for a leak.
  static auto* const leftOpen = new std::vector<uc_engine*>;
  leftOpen->push_back(std::exchange(engine_, nullptr));
}

uint32_t UnicornEngine::Register(int id) const {
  uint32_t value = 0;
  Check(uc_reg_read(engine_, id, &value), "uc_reg_read");
  return value;
}

void UnicornEngine::SetRegister(int id, uint32_t value) {
  Check(uc_reg_write(engine_, id, &value), "uc_reg_write");
}

void UnicornEngine::Check(uc_err result, const char* what) {
  if (result != UC_ERR_OK) throw EngineError(std::string(what) + ": " + uc_strerror(result));
}

}  // namespace emulator
