@ Recurses without end until the stack is used up.
  .include "program.inc"
  PROGRAM
  push {lr}
  bl WinMain
  pop {lr}
  bx lr
