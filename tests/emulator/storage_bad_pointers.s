@ Calls the registry's enumeration and query routines and the file routines with a pointer into
@ unmapped memory each: every call fails as the device fails it, and the program goes on. Returns a
@ bit mask of the calls that answered otherwise: 0 when every one failed as it should.
@   1  RegEnumKeyExW, its name buffer unmapped: ERROR_INVALID_PARAMETER
@   2  RegQueryValueExW, its size unmapped: ERROR_INVALID_PARAMETER
@   4  CreateFileW, its name unmapped: INVALID_HANDLE_VALUE
@   8  GetLastError after it: ERROR_INVALID_PARAMETER
@  16  GetModuleFileNameW, its buffer unmapped: 0
  .include "program.inc"
  PROGRAM
  push {r4-r7, lr}
  sub sp, sp, #24
  mov r7, #0
  ldr r4, =0x80000002 @ HKEY_LOCAL_MACHINE

  mov r0, #16
  str r0, [sp, #20]   @ the name's count
  add r0, sp, #20
  mov r1, #0
  str r1, [sp]        @ reserved
  str r1, [sp, #4]    @ no class
  str r1, [sp, #8]    @ no class count
  str r1, [sp, #12]   @ no time
  mov r3, r0
  mov r0, r4
  mov r1, #0
  mov r2, #4          @ the name buffer, unmapped
  bl RegEnumKeyExW
  cmp r0, #87
  orrne r7, r7, #1

  add r0, sp, #16
  str r0, [sp]        @ the data
  mov r0, #4
  str r0, [sp, #4]    @ its size, unmapped
  mov r0, r4
  ldr r1, =name
  mov r2, #0
  mov r3, #0
  bl RegQueryValueExW
  cmp r0, #87
  orrne r7, r7, #2

  mov r0, #1          @ CREATE_NEW
  str r0, [sp]
  mov r0, #0
  str r0, [sp, #4]    @ no attributes
  str r0, [sp, #8]    @ no template
  mov r0, #4          @ the name, unmapped
  mov r1, #0x40000000 @ GENERIC_WRITE
  mov r2, #0
  mov r3, #0
  bl CreateFileW
  cmn r0, #1
  orrne r7, r7, #4
  bl GetLastError
  cmp r0, #87
  orrne r7, r7, #8

  mov r0, #0
  mov r1, #4          @ the buffer, unmapped
  mov r2, #16
  bl GetModuleFileNameW
  cmp r0, #0
  orrne r7, r7, #16

  mov r0, r7
  add sp, sp, #24
  pop {r4-r7, lr}
  bx lr

  .section .rodata.strings, "a", %progbits
  .p2align 2
name:
  .hword 'N', 'a', 'm', 'e', 0
