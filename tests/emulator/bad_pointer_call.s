@ Opens a key whose path points at unmapped memory: the call fails with ERROR_INVALID_PARAMETER,
@ which becomes the exit status.
  .include "program.inc"
  PROGRAM
  push {lr}
  sub sp, sp, #8
  add r0, sp, #4      @ where the key would go
  str r0, [sp]        @ the fifth argument
  ldr r0, =0x80000002 @ HKEY_LOCAL_MACHINE
  mov r1, #4          @ the key path
  mov r2, #0
  mov r3, #0
  bl RegOpenKeyExW
  add sp, sp, #8
  pop {lr}
  bx lr
