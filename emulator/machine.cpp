#include "machine.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "coredll_exports.h"

namespace emulator {
namespace {

constexpr uint32_t kPageSize = 0x1000;
constexpr uint32_t kStackTop = 0x01000000;           // the main thread's stack ends here
constexpr uint32_t kCoreLibraryBase = 0x01F60000;    // where the core library's routines start
constexpr uint32_t kReturnInstruction = 0xE12FFF1E;  // bx lr
constexpr uint32_t kThumbState = 0x20;               // CPSR T bit
constexpr uint32_t kLargestStack = 1024 * 1024;
static_assert(kStackTop - kLargestStack >= kImageLimit, "the stack overlaps where images may lie");

std::string Word(uint32_t value, int digits) {
  char text[9];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

int UnicornModel(CpuModel cpu) {
  return cpu == CpuModel::Ti925t ? UC_CPU_ARM_TI925T : UC_CPU_ARM_PXA270;
}

Handler FindHandler(const ImportBinding& import) {
  if (!IsCoreLibraryName(import.library)) return nullptr;
  const std::optional<std::string_view> name = import.name
                                                   ? std::optional<std::string_view>(*import.name)
                                                   : CoreLibraryExportName(import.ordinal);
  if (!name) return nullptr;
  for (const CoreLibraryRoutine& routine : CoreLibraryRoutines()) {
    if (*name == routine.name) return routine.handler;  // exactly, as the device's loader compares
  }
  return nullptr;
}

// "memcpy", or "#1044 (memcpy)" for an import by ordinal.
std::string RoutineName(const ImportBinding& import) {
  if (import.name) return *import.name;
  const std::optional<std::string_view> exported = CoreLibraryExportName(import.ordinal);
  return "#" + std::to_string(import.ordinal) +
         (exported ? " (" + std::string(*exported) + ")" : std::string());
}

// "1 instruction", "5 instructions".
std::string Counted(uint64_t count, const std::string& thing) {
  return std::to_string(count) + " " + thing + (count == 1 ? "" : "s");
}

}  // namespace

Machine::Machine(const LoadedImage& image, device::Device& device, MachineSettings settings)
    : device_(&device), settings_(settings), engine_(UnicornModel(settings.cpu)), memory_(engine_) {
  MapImage(image);
  BindImports(image.imports);
  InstallHooks();
  if (settings_.reusable) SaveSetUp();
}

void Machine::SaveSetUp() {
  uc_context* context = nullptr;
  UnicornEngine::Check(uc_context_alloc(engine_.get(), &context), "uc_context_alloc");
  setUp_.reset(context);
  UnicornEngine::Check(uc_context_save(engine_.get(), context), "uc_context_save");
  for (const GuestRegion& region : memory_.regions()) {
    if (!(region.protection & kWrite)) continue;
    SavedPages& saved = writablePages_.emplace_back(SavedPages{region.address, {}});
    saved.bytes.resize(region.size);
    UnicornEngine::Check(
        uc_mem_read(engine_.get(), region.address, saved.bytes.data(), region.size), "uc_mem_read");
  }
}

bool Machine::Reuse(device::Device& device) {
  if (!setUp_ || fault_ || !notes_.empty()) return false;
  UnicornEngine::Check(uc_context_restore(engine_.get(), setUp_.get()), "uc_context_restore");
  for (const SavedPages& saved : writablePages_) memory_.Load(saved.address, saved.bytes);
  device_ = &device;
  instructions_ = 0;
  platformCalls_ = 0;
  pending_ = nullptr;
  return true;
}

void Machine::MapImage(const LoadedImage& image) {
  imageStart_ = image.base;
  imageEnd_ = image.base + image.sizeOfImage;
  for (const ImageRegion& region : image.regions) {
    memory_.Map({region.name, region.address, region.size, region.protection});
    if (!region.bytes.empty()) memory_.Load(region.address, region.bytes);
  }
  entry_ = image.entryAddress;
  for (uint32_t rva : image.resourceRvas) resourceAddresses_.push_back(image.base + rva);
  stackSize_ = image.stackSize;
  memory_.Map({"stack", kStackTop - stackSize_, stackSize_, kRead | kWrite});
}

// Every import gets a routine of its own in the core library's area: a return instruction that
// the handler runs in front of. The loader writes the routine's address into the import's slot.
void Machine::BindImports(const std::vector<ImportBinding>& imports) {
  stubs_.push_back({"process exit", nullptr});
  for (const ImportBinding& import : imports) {
    stubs_.push_back(
        {binary::Printable(import.library + "!" + RoutineName(import)), FindHandler(import)});
    if (!import.slotMapped) continue;  // bound, then discarded with its section
    memory_.Load(import.slotAddress,
                 LittleEndianWord(kCoreLibraryBase + 4 * static_cast<uint32_t>(stubs_.size() - 1)));
  }
  const uint32_t size =
      (4 * static_cast<uint32_t>(stubs_.size()) + kPageSize - 1) / kPageSize * kPageSize;
  memory_.Map({std::string(kCoreLibraryName), kCoreLibraryBase, size, kRead | kExecute});
  std::vector<uint8_t> code;
  for (size_t i = 0; i < size / 4; ++i) {
    binary::Append(code, kReturnInstruction);
  }
  memory_.Load(kCoreLibraryBase, code);
}

void Machine::InstallHooks() {
  const uint32_t stubsEnd =
      memory_.RegionAt(kCoreLibraryBase)->address + memory_.RegionAt(kCoreLibraryBase)->size;
  uc_hook hook;
  // One hook counts the program's instructions, in the image and (broken) on its stack: the
  // engine tests every code hook's range at every instruction, so there is one, not two.
  UnicornEngine::Check(
      uc_hook_add(engine_.get(), &hook, UC_HOOK_CODE,
                  reinterpret_cast<void*>(&OnProgramInstruction), this, imageStart_, kStackTop - 1),
      "uc_hook_add");
  UnicornEngine::Check(
      uc_hook_add(engine_.get(), &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&OnStubInstruction),
                  this, kCoreLibraryBase, stubsEnd - 1),
      "uc_hook_add");
  UnicornEngine::Check(uc_hook_add(engine_.get(), &hook, UC_HOOK_MEM_INVALID,
                                   reinterpret_cast<void*>(&OnBadAccess), this, 1, 0),
                       "uc_hook_add");
  UnicornEngine::Check(uc_hook_add(engine_.get(), &hook, UC_HOOK_INTR,
                                   reinterpret_cast<void*>(&OnInterrupt), this, 1, 0),
                       "uc_hook_add");
}

// The kernel copies the command line onto the new thread's stack and starts below it.
uint32_t Machine::PlaceCommandLine(const char16_t* commandLine) {
  std::vector<uint8_t> bytes =
      LittleEndianUnits(commandLine ? std::u16string_view(commandLine) : std::u16string_view());
  bytes.resize(bytes.size() + 2);  // the terminator
  if (bytes.size() > stackSize_ / 2) {
    throw EmulationFault("the command line (" + std::to_string(bytes.size()) +
                         " bytes) does not fit on a stack of " + std::to_string(stackSize_) +
                         " bytes");
  }
  const uint32_t address = (kStackTop - static_cast<uint32_t>(bytes.size())) & ~uint32_t{7};
  memory_.Load(address, bytes);
  return address;
}

int Machine::Start(HINSTANCE instance, HINSTANCE previous, const char16_t* commandLine, int show) {
  fault_.reset();
  pending_ = nullptr;
  const uint32_t commandLineAddress = PlaceCommandLine(commandLine);
  engine_.SetRegister(UC_ARM_REG_R0, instance);
  engine_.SetRegister(UC_ARM_REG_R1, previous);
  engine_.SetRegister(UC_ARM_REG_R2, commandLineAddress);
  engine_.SetRegister(UC_ARM_REG_R3, static_cast<uint32_t>(show));
  engine_.SetRegister(UC_ARM_REG_SP, commandLineAddress);
  engine_.SetRegister(UC_ARM_REG_LR, kCoreLibraryBase);  // returning ends the process
  // The engine stops on its own when the entry returns to the exit address; any other address,
  // 0 included, is one the guest might jump to.
  return Finish(uc_emu_start(engine_.get(), entry_, kCoreLibraryBase, 0, 0));
}

int Machine::Finish(uc_err result) {
  if (pending_) std::rethrow_exception(std::exchange(pending_, nullptr));
  if (fault_) throw EmulationFault(*fault_);
  if (result == UC_ERR_INSN_INVALID) {
    Stop("undefined instruction", FaultSignal::Illegal);  // the engine has stopped already
    if (pending_) std::rethrow_exception(std::exchange(pending_, nullptr));
    throw EmulationFault(*fault_);
  }
  if (result != UC_ERR_OK) throw EmulationFault(Report(uc_strerror(result)));
  if (engine_.Register(UC_ARM_REG_PC) != kCoreLibraryBase) {
    throw EmulationFault(Report("the run stopped before the process ended"));
  }
  return static_cast<int>(engine_.Register(UC_ARM_REG_R0));  // the process's exit status
}

void Machine::OnProgramInstruction(uc_engine*, uint64_t, uint32_t, void* machine) {
  static_cast<Machine*>(machine)->CountInstruction();
}

// Counts one instruction of the program's own; false when it is one too many and the run stops.
bool Machine::CountInstruction() {
  if (++instructions_ <= settings_.maxInstructions) return true;
  --instructions_;  // this one is not executed
  Stop("more than " + Counted(settings_.maxInstructions, "instruction"));
  return false;
}

// ARMv4 and ARMv5 pages have no execute-never bit: the device runs instructions in a data section
// or on the stack as it runs any other. The engine maps those regions without execute so that the
// first fetch from each comes here; it is noted, since it almost certainly means a broken image,
// and the region is made executable for the engine to fetch again.
bool Machine::AllowFetch(uint32_t address) {
  const GuestRegion* region = memory_.RegionAt(address);
  const bool programMemory = (address >= imageStart_ && address < imageEnd_) ||
                             (region != nullptr && region->name == "stack");
  if (region == nullptr || !(region->protection & kRead) || !programMemory ||
      !memory_.AllowFetches(address)) {
    return false;
  }
  notes_.push_back("instructions fetched from " + memory_.Describe(address) +
                   ", which is not code: the device runs them (its pages have no execute-never "
                   "bit)");
  return true;
}

void Machine::OnStubInstruction(uc_engine*, uint64_t address, uint32_t, void* machine) {
  static_cast<Machine*>(machine)->CallStub(static_cast<uint32_t>(address));
}

void Machine::CallStub(uint32_t address) {
  const uint32_t offset = address - kCoreLibraryBase;
  // Stub 0, the exit address, is never reached here: the engine stops in front of it.
  if (offset % 4 != 0 || offset / 4 >= stubs_.size()) {
    Stop("jump into " + std::string(kCoreLibraryName) + " at " + HexAddress(address) +
         ", where no routine starts");
    return;
  }
  const Stub& stub = stubs_[offset / 4];
  // A routine that returns into a routine runs no instruction of the program in between, so the
  // instruction limit alone would never end such a run.
  if (++platformCalls_ > settings_.maxInstructions) {
    Stop("more than " + Counted(settings_.maxInstructions, "platform call") + ", the last " +
         stub.name);
    return;
  }
  if (stub.handler == nullptr) {
    Stop("call of " + stub.name + ", which the device does not provide");
    return;
  }
  try {
    PlatformCall call(memory_, *device_, engine_, resourceAddresses_,
                      [this](const std::string& what) { return Report(what); });
    engine_.SetRegister(UC_ARM_REG_R0, stub.handler(call));
  } catch (...) {  // nothing may unwind through the engine; rethrown once it has stopped
    pending_ = std::current_exception();
    uc_emu_stop(engine_.get());
  }
}

bool Machine::OnBadAccess(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t,
                          void* machine) {
  Machine& self = *static_cast<Machine*>(machine);
  const std::string where = self.memory_.Describe(static_cast<uint32_t>(address));
  const std::string bytes = " (" + std::to_string(size) + " bytes)";
  switch (type) {
    case UC_MEM_READ_UNMAPPED:
    case UC_MEM_READ_PROT:
      self.Stop("read of " + where + bytes + ", which the process may not read");
      break;
    case UC_MEM_WRITE_UNMAPPED:
    case UC_MEM_WRITE_PROT:
      self.Stop("write to " + where + bytes + ", which the process may not write");
      break;
    case UC_MEM_FETCH_PROT:
      if (self.AllowFetch(static_cast<uint32_t>(address))) return true;  // fetched again
      [[fallthrough]];
    case UC_MEM_FETCH_UNMAPPED:
      self.Stop("jump outside the image's code to " + where);
      break;
    default:
      self.Stop("memory access at " + where);
  }
  return false;
}

void Machine::OnInterrupt(uc_engine*, uint32_t number, void* machine) {
  Machine& self = *static_cast<Machine*>(machine);
  constexpr uint32_t kSoftwareInterrupt = 2, kBreakpoint = 7;  // the engine's exception numbers
  if (number == kSoftwareInterrupt) {
    self.Stop("software interrupt, which an application does not issue on this device");
  } else if (number == kBreakpoint) {
    self.Stop("breakpoint instruction");
  } else {
    self.Stop("processor exception " + std::to_string(number));
  }
}

// Records the run's first fault and tells the observers. Runs inside the engine's callbacks,
// which nothing may unwind through.
void Machine::Stop(std::string fault, FaultSignal signal) {
  if (!fault_) {
    try {
      fault_ = Report(fault);
    } catch (const EngineError& error) {
      fault_ = fault + "; the registers cannot be read: " + error.what();
    }
    ReportFault(signal);
  }
  uc_emu_stop(engine_.get());
}

std::string Machine::Report(const std::string& what) const {
  const uint32_t pc = engine_.Register(UC_ARM_REG_PC);
  return what + "; " + InstructionAt(pc) + "; " + Registers() + CodeAt(pc);
}

bool Machine::InThumbState() const {
  return engine_.Register(UC_ARM_REG_CPSR) & kThumbState;
}

std::optional<std::vector<uint8_t>> Machine::InstructionBytes(uint32_t address) const {
  return memory_.Read(address, InThumbState() ? 2 : 4);
}

std::string Machine::InstructionAt(uint32_t address) const {
  const bool thumb = InThumbState();
  std::optional<std::vector<uint8_t>> bytes = InstructionBytes(address);
  if (!bytes) return "no instruction at " + memory_.Describe(address);
  const uint32_t size = static_cast<uint32_t>(bytes->size());
  uint32_t word = 0;
  for (uint32_t i = 0; i < size; ++i) word |= uint32_t{(*bytes)[i]} << (8 * i);
  return std::string(thumb ? "Thumb " : "") + "instruction " + Word(word, 2 * size) + " at " +
         memory_.Describe(address);
}

std::string Machine::Registers() const {
  static constexpr std::pair<const char*, int> kRegisters[] = {
      {"r0", UC_ARM_REG_R0},   {"r1", UC_ARM_REG_R1},    {"r2", UC_ARM_REG_R2},
      {"r3", UC_ARM_REG_R3},   {"r4", UC_ARM_REG_R4},    {"r5", UC_ARM_REG_R5},
      {"r6", UC_ARM_REG_R6},   {"r7", UC_ARM_REG_R7},    {"r8", UC_ARM_REG_R8},
      {"r9", UC_ARM_REG_R9},   {"r10", UC_ARM_REG_R10},  {"r11", UC_ARM_REG_R11},
      {"r12", UC_ARM_REG_R12}, {"sp", UC_ARM_REG_SP},    {"lr", UC_ARM_REG_LR},
      {"pc", UC_ARM_REG_PC},   {"cpsr", UC_ARM_REG_CPSR}};
  std::string text = "registers";
  for (const auto& [name, id] : kRegisters) {
    text += std::string(" ") + name + "=" + Word(engine_.Register(id), 8);
  }
  return text;
}

}  // namespace emulator
