// The core-library routines of the emulated device. Each handler unpacks the guest's arguments,
// refuses a bad pointer with the platform's failure (recording the call with every argument, the
// bad one as such), copies what the routine reads out of guest memory, lets the simulated device
// do the work and record it, and copies back what it wrote.
#include "platform_call.h"
#include "storage_calls.h"

namespace emulator {
namespace {

namespace as = device::as;

/*
 * int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style)
 */
uint32_t MessageBoxWHandler(PlatformCall& call) {
  const HWND owner = call.Argument(0);
  const uint32_t text = call.Argument(1), caption = call.Argument(2);
  const UINT style = call.Argument(3);
  const std::optional<GuestText> shownText = call.Text(text), shownCaption = call.Text(caption);
  if (!shownText || !shownCaption) {
    return call.Refuse({"MessageBoxW",
                        {owner ? as::Handle(owner) : as::Null(), call.TextArgument(text, shownText),
                         call.TextArgument(caption, shownCaption), as::BoxStyle(style)},
                        as::BoxResult(0)});
  }
  return call.device.MessageBoxW(owner, shownText->pointer(), shownCaption->pointer(), style);
}

/*
 * int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int capacity)
 */
uint32_t LoadStringWHandler(PlatformCall& call) {
  const HINSTANCE instance = call.Argument(0);
  const UINT id = call.Argument(1);
  const uint32_t buffer = call.Argument(2);
  const int capacity = static_cast<int>(call.Argument(3));
  if (buffer == 0) {  // the result is the string's address in the image
    const device::ResourceAddress addressOf = [&call](size_t entry, size_t offset) {
      return call.ResourceAddress(entry, offset);
    };
    return static_cast<uint32_t>(
        call.device.LoadStringInto(instance, id, nullptr, capacity, addressOf));
  }
  // The platform checks capacity - 1 bytes of the buffer (not units) before it looks anything up,
  // then copies under a fault handler.
  if (capacity > 0 && !call.memory.Allows(buffer, static_cast<uint32_t>(capacity - 1), 0)) {
    return call.Refuse(
        {"LoadStringW",
         {as::Handle(instance), as::Number(id), call.Pointer(buffer, false), as::Number(capacity)},
         as::Number(0)});
  }
  const device::UnitStore store = [&call, buffer](size_t index, char16_t unit) {
    return call.memory.Write(buffer + 2 * static_cast<uint32_t>(index),
                             LittleEndianUnits({&unit, 1}));
  };
  return static_cast<uint32_t>(call.device.LoadStringInto(instance, id, &store, capacity));
}

/*
 * LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
 */
uint32_t RegOpenKeyExWHandler(PlatformCall& call) {
  const HKEY key = call.Argument(0);
  const uint32_t subKey = call.Argument(1);
  const DWORD options = call.Argument(2);
  const REGSAM access = call.Argument(3);
  const uint32_t result = call.Argument(4);
  const std::optional<GuestText> path = call.Text(subKey);
  const bool resultWritable = result == 0 || call.memory.Allows(result, 4, kWrite);
  if (!path || !resultWritable) {
    return call.Refuse({"RegOpenKeyExW",
                        {as::Key(key), call.TextArgument(subKey, path), as::Number(options),
                         as::Handle(access), call.Pointer(result, resultWritable)},
                        as::RegResult(device::kErrorInvalidParameter)});
  }
  HKEY opened = 0;
  const LONG status = call.device.RegOpenKeyExW(key, path->pointer(), options, access,
                                                result != 0 ? &opened : nullptr);
  if (status == ERROR_SUCCESS) call.memory.WriteWord(result, opened);
  return static_cast<uint32_t>(status);
}

/*
 * LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
 *                     const BYTE* data, DWORD size)
 */
uint32_t RegSetValueExWHandler(PlatformCall& call) {
  const HKEY key = call.Argument(0);
  const uint32_t valueName = call.Argument(1);
  const DWORD reserved = call.Argument(2), type = call.Argument(3);
  const uint32_t data = call.Argument(4);
  const DWORD size = call.Argument(5);
  const std::optional<GuestText> name = call.Text(valueName);
  std::optional<std::vector<uint8_t>> bytes;
  if (data != 0) bytes = call.memory.Read(data, size);
  if (!name || (data != 0 && !bytes)) {
    return call.Refuse(
        {"RegSetValueExW",
         {as::Key(key), call.TextArgument(valueName, name), as::Number(reserved), as::RegType(type),
          bytes ? as::ValueData(type, *bytes) : call.Pointer(data, false), as::Number(size)},
         as::RegResult(device::kErrorInvalidParameter)});
  }
  return static_cast<uint32_t>(call.device.RegSetValueExW(key, name->pointer(), reserved, type,
                                                          bytes ? bytes->data() : nullptr, size));
}

/*
 * LONG RegCloseKey(HKEY key)
 */
uint32_t RegCloseKeyHandler(PlatformCall& call) {
  const HKEY key = call.Argument(0);
  return static_cast<uint32_t>(call.device.RegCloseKey(key));
}

/*
 * BOOL KernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
 *                      LPDWORD bytesReturned)
 */
uint32_t KernelIoControlHandler(PlatformCall& call) {
  const DWORD code = call.Argument(0);
  const uint32_t in = call.Argument(1);
  const DWORD inSize = call.Argument(2);
  const uint32_t out = call.Argument(3);
  const DWORD outSize = call.Argument(4);
  const uint32_t bytesReturned = call.Argument(5);
  std::optional<std::vector<uint8_t>> input, output;
  if (in != 0) input = call.memory.Read(in, inSize);
  // The output buffer is read first so that what the device leaves alone is written back as it was.
  if (out != 0 && call.memory.Allows(out, outSize, kWrite)) output = call.memory.Read(out, outSize);
  const bool returnedWritable = bytesReturned == 0 || call.memory.Allows(bytesReturned, 4, kWrite);
  if ((in != 0 && !input) || (out != 0 && !output) || !returnedWritable) {
    // As the device shows it: the word a four-byte input holds.
    const device::Value shownInput = input && inSize == 4 ? as::Word(*call.memory.ReadWord(in))
                                                          : call.Pointer(in, input.has_value());
    return call.Refuse({"KernelIoControl",
                        {as::ControlCode(code), shownInput, as::Number(inSize),
                         call.Pointer(out, output.has_value()), as::Number(outSize),
                         call.Pointer(bytesReturned, returnedWritable)},
                        as::Bool(FALSE)});
  }
  DWORD returned = 0;
  const BOOL result = call.device.KernelIoControl(code, input ? input->data() : nullptr, inSize,
                                                  output ? output->data() : nullptr, outSize,
                                                  bytesReturned != 0 ? &returned : nullptr);
  if (output) call.memory.Write(out, *output);
  if (bytesReturned != 0 && result) call.memory.WriteWord(bytesReturned, returned);
  return static_cast<uint32_t>(result);
}

/*
 * void* memset(void* dest, int value, size_t count)
 */
uint32_t MemsetHandler(PlatformCall& call) {
  const uint32_t dest = call.Argument(0);
  const int value = static_cast<int>(call.Argument(1));
  const uint32_t count = call.Argument(2);
  if (count == 0) return dest;
  std::optional<std::vector<uint8_t>> bytes;
  if (!call.memory.Allows(dest, count, kWrite) || !(bytes = call.memory.Read(dest, count))) {
    // memset is a plain library routine: it faults in the caller's process, as any store would.
    call.AccessViolation("memset(" + HexAddress(dest) + ", " + std::to_string(value) + ", " +
                         std::to_string(count) + ") writes outside writable memory");
  }
  call.device.Memset(bytes->data(), value, count);
  call.memory.Write(dest, *bytes);
  return dest;
}

constexpr CoreLibraryRoutine kRoutines[] = {
    {"KernelIoControl", KernelIoControlHandler},
    {"LoadStringW", LoadStringWHandler},
    {"MessageBoxW", MessageBoxWHandler},
    {"RegCloseKey", RegCloseKeyHandler},
    {"RegOpenKeyExW", RegOpenKeyExWHandler},
    {"RegSetValueExW", RegSetValueExWHandler},
    {"memset", MemsetHandler},
};

}  // namespace

std::span<const CoreLibraryRoutine> CoreLibraryRoutines() {
  static const std::vector<CoreLibraryRoutine> routines = [] {
    std::vector<CoreLibraryRoutine> all(std::begin(kRoutines), std::end(kRoutines));
    const std::span<const CoreLibraryRoutine> storage = StorageRoutines();
    all.insert(all.end(), storage.begin(), storage.end());
    return all;
  }();
  return routines;
}

uint32_t PlatformCall::Argument(int index) const {
  static constexpr int kRegisters[] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3};
  if (index < 4) return engine_.Register(kRegisters[index]);
  const uint32_t address = engine_.Register(UC_ARM_REG_SP) + 4 * static_cast<uint32_t>(index - 4);
  std::optional<uint32_t> word = memory.ReadWord(address);
  if (!word) AccessViolation("argument " + std::to_string(index + 1) + " is not on the stack");
  return *word;
}

std::optional<GuestText> PlatformCall::Text(uint32_t address) const {
  if (address == 0) return GuestText{};
  std::optional<std::u16string> text = memory.ReadString(address);
  if (!text) return std::nullopt;
  return GuestText{std::move(text)};
}

device::Value PlatformCall::Pointer(uint32_t address, bool usable) const {
  if (address == 0) return device::as::Null();
  if (!usable) return device::as::BadPointer(address, memory.RegionName(address));
  device::Value buffer;
  buffer.kind = device::Value::Kind::Buffer;
  return buffer;
}

device::Value PlatformCall::TextArgument(uint32_t address,
                                         const std::optional<GuestText>& text) const {
  return text ? device::as::TextOrNull(text->pointer()) : Pointer(address, false);
}

std::optional<uint32_t> PlatformCall::ResourceAddress(size_t entry, size_t offset) const {
  if (entry >= resourceAddresses_.size()) return std::nullopt;
  return resourceAddresses_[entry] + static_cast<uint32_t>(offset);
}

uint32_t PlatformCall::Refuse(device::CallRecord call) {
  const uint32_t result = static_cast<uint32_t>(call.result ? call.result->number : 0);
  device.RecordRefusedCall(call);
  return result;
}

void PlatformCall::AccessViolation(const std::string& what) const {
  throw EmulationFault(report_(what));
}

}  // namespace emulator
