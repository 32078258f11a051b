@ Passes each routine that reads or writes through a pointer one at an unmapped address and
@ returns a bit mask of the calls that did not fail as the device's do: 0 when every one did.
@   1  MessageBoxW with its text there: 0
@   2  LoadStringW into a buffer there: 0
@   4  RegOpenKeyExW with the key to go there: ERROR_INVALID_PARAMETER
@   8  RegSetValueExW with its data there: ERROR_INVALID_PARAMETER
@  16  KernelIoControl with its output there: FALSE
  .include "program.inc"
  PROGRAM
  push {r4-r7, lr}
  sub sp, sp, #16
  mov r4, r0          @ the instance
  mov r5, #4          @ the bad pointer
  mov r7, #0          @ the calls that differ

  mov r0, #0
  mov r1, r5
  ldr r2, =caption
  mov r3, #0          @ MB_OK
  bl MessageBoxW
  cmp r0, #0
  orrne r7, r7, #1

  mov r0, r4
  ldr r1, =5020
  mov r2, r5
  mov r3, #10
  bl LoadStringW
  cmp r0, #0
  orrne r7, r7, #2

  str r5, [sp]        @ where the key would go
  ldr r0, =0x80000002 @ HKEY_LOCAL_MACHINE
  ldr r1, =caption
  mov r2, #0
  mov r3, #0
  bl RegOpenKeyExW
  cmp r0, #87
  orrne r7, r7, #4

  str r5, [sp]        @ the data
  mov r0, #4
  str r0, [sp, #4]    @ its size
  ldr r0, =0x80000002
  ldr r1, =caption
  mov r2, #0
  mov r3, #3          @ REG_BINARY
  bl RegSetValueExW
  cmp r0, #87
  orrne r7, r7, #8

  mov r0, #160
  str r0, [sp]        @ the output's size, the output itself (r3) being the bad pointer
  mov r0, #0
  str r0, [sp, #4]    @ no count of bytes returned
  ldr r0, =0x0101010F @ IOCTL_ROM_INFO
  ldr r1, =request
  mov r2, #4
  mov r3, r5
  bl KernelIoControl
  cmp r0, #0
  orrne r7, r7, #16

  mov r0, r7
  add sp, sp, #16
  pop {r4-r7, lr}
  bx lr

  .section .rodata.strings, "a", %progbits
  .p2align 2
request:
  .word 15
caption:
  .hword 'T', 0
