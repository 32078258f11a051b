@ Opens the MMC profile key only when it starts as a new process does: with its zero-filled data
@ still zero and r4 zero, as the engine starts. Before it returns it leaves both set, so a machine
@ that is run again without being restored skips the call.
  .include "program.inc"
  PROGRAM
  ldr r1, =started
  ldr r2, [r1]
  orrs r2, r2, r4
  mov r4, #1          @ not restored: the process ends here
  str r4, [r1]
  bxne lr
  push {lr}
  sub sp, sp, #8
  add r0, sp, #4
  str r0, [sp]        @ the fifth argument: where the key goes
  ldr r0, =0x80000002 @ HKEY_LOCAL_MACHINE
  ldr r1, =profile
  mov r2, #0
  mov r3, #0
  bl RegOpenKeyExW
  mov r0, #0
  add sp, sp, #8
  pop {lr}
  bx lr

  .section .rodata.strings, "a", %progbits
  .p2align 2
profile:
  .hword '\\', 'S', 'y', 's', 't', 'e', 'm', '\\', 'S', 't', 'o', 'r', 'a', 'g', 'e', 'M', 'a'
  .hword 'n', 'a', 'g', 'e', 'r', '\\', 'P', 'r', 'o', 'f', 'i', 'l', 'e', 's', '\\', 'M', 'M'
  .hword 'C', 0

  .section .bss.started, "aw", %nobits
  .p2align 2
started:
  .space 4
