@ The smallest program with an import and zero-initialised data: it notes its instance handle and
@ shows an empty message box. Linked in ways the image writer must refuse; written in assembly so
@ that its addresses, and so the writer's messages, do not depend on the compiler.
  .syntax unified
  .arm
  .text
  .global WinMain
  .type WinMain, %function
WinMain:
  push {r4, lr}
  ldr r4, =Instance
  str r0, [r4]
  mov r0, #0
  mov r1, #0
  mov r2, #0
  mov r3, #0
  bl MessageBoxW
  mov r0, #0
  pop {r4, lr}
  bx lr

  .bss
  .p2align 2
Instance:
  .space 4
