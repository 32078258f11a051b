@ The routines the device programs call in COREDLL.dll. Each one is a thunk in the code that jumps
@ through its slot in the import address table, __imp_<routine>, which the loader fills with the
@ routine's address. The linker gathers the slots, in name order, into the table at the start of
@ .data; the image writer finds them by name and builds the import directory for them. A program's
@ link keeps only the thunks it calls, and their slots (--gc-sections).
@
@ The thunk interworks on ARMv4T: COREDLL may be ARM or Thumb code, and only bx switches state
@ there (ldr pc does from ARMv5T on). The slot's address comes from a literal in the thunk's own
@ section: LLVM 14 encodes "ldr pc, label" to another section as [pc, #-8] without a relocation.

  .syntax unified
  .arm

.macro IMPORT routine
  .section .text.\routine, "ax", %progbits
  .global \routine
  .type \routine, %function
  .p2align 2
\routine:
  ldr ip, 1f            @ the slot's address
  ldr ip, [ip]          @ the routine's address
  bx ip
1:
  .word __imp_\routine
  .size \routine, . - \routine

  .section .iat.\routine, "aw", %progbits
  .global __imp_\routine
  .type __imp_\routine, %object
  .p2align 2
__imp_\routine:
  .word 0
  .size __imp_\routine, 4
.endm

  IMPORT CloseHandle
  IMPORT CreateDirectoryW
  IMPORT CreateFileW
  IMPORT DeleteFileW
  IMPORT GetLastError
  IMPORT GetModuleFileNameW
  IMPORT KernelIoControl
  IMPORT LoadStringW
  IMPORT MessageBoxW
  IMPORT MoveFileW
  IMPORT RegCloseKey
  IMPORT RegEnumKeyExW
  IMPORT RegEnumValueW
  IMPORT RegOpenKeyExW
  IMPORT RegQueryInfoKeyW
  IMPORT RegQueryValueExW
  IMPORT RegSetValueExW
  IMPORT RemoveDirectoryW
  IMPORT WriteFile
  IMPORT memset
