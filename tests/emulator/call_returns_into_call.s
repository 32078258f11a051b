@ Calls RegCloseKey with the return address set to RegCloseKey itself: the routine returns into
@ its own start, over and over, and no instruction of the program runs again.
  .include "program.inc"
  PROGRAM
  ldr r0, =__imp_RegCloseKey
  ldr r1, [r0]
  mov lr, r1
  mov r0, #0
  bx r1
