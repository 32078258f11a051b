@ Uses the registry as the platform's own drivers do and returns a bit mask of the calls that did
@ not succeed: 0 when every one did.
@   1  open a profile key with options 0 and KEY_ALL_ACCESS
@   2  open it again through its own handle with a NULL sub-key
@   4  write a value to HKEY_LOCAL_MACHINE itself
@   8  close HKEY_LOCAL_MACHINE
@  16  close both handles
@  32  open it with the result pointer in read-only data: ERROR_INVALID_PARAMETER, the word
@      unchanged, and no key opened (the next open gets the first handle)
  .include "program.inc"
  PROGRAM
  push {r4-r7, lr}
  sub sp, sp, #16
  mov r7, #0
  ldr r4, =0x80000002 @ HKEY_LOCAL_MACHINE

  ldr r0, =flag
  str r0, [sp]
  mov r0, r4
  ldr r1, =profile
  mov r2, #0
  mov r3, #0
  bl RegOpenKeyExW
  cmp r0, #87         @ ERROR_INVALID_PARAMETER
  orrne r7, r7, #32
  ldr r0, =flag
  ldr r0, [r0]
  cmp r0, #1
  orrne r7, r7, #32

  add r0, sp, #8
  str r0, [sp]        @ the fifth argument: where the key goes
  mov r0, r4
  ldr r1, =profile
  mov r2, #0
  ldr r3, =0xF003F    @ KEY_ALL_ACCESS
  bl RegOpenKeyExW
  cmp r0, #0
  orrne r7, r7, #1

  add r0, sp, #12
  str r0, [sp]
  ldr r0, [sp, #8]
  mov r1, #0
  mov r2, #0
  mov r3, #0
  bl RegOpenKeyExW
  cmp r0, #0
  orrne r7, r7, #2

  ldr r0, =flag
  str r0, [sp]        @ the data
  mov r0, #4
  str r0, [sp, #4]    @ its size
  mov r0, r4
  ldr r1, =name
  mov r2, #0
  mov r3, #4          @ REG_DWORD
  bl RegSetValueExW
  cmp r0, #0
  orrne r7, r7, #4

  mov r0, r4
  bl RegCloseKey
  cmp r0, #0
  orrne r7, r7, #8

  ldr r0, [sp, #12]
  bl RegCloseKey
  mov r5, r0
  ldr r0, [sp, #8]
  bl RegCloseKey
  orrs r0, r0, r5
  orrne r7, r7, #16

  mov r0, r7
  add sp, sp, #16
  pop {r4-r7, lr}
  bx lr

  .section .rodata.strings, "a", %progbits
  .p2align 2
flag:
  .word 1
profile:
  .hword '\\', 'S', 'y', 's', 't', 'e', 'm', '\\', 'S', 't', 'o', 'r', 'a', 'g', 'e', 'M', 'a'
  .hword 'n', 'a', 'g', 'e', 'r', '\\', 'P', 'r', 'o', 'f', 'i', 'l', 'e', 's', '\\', 'M', 'M'
  .hword 'C', 0
name:
  .hword 'U', 'p', 'd', 'a', 't', 'e', 'd', 0
