@ Asks a Yes/No question with a question-mark icon, the second button as default and no
@ caption, and returns the answer.
  .include "program.inc"
  PROGRAM
  push {lr}
  mov r0, #0
  ldr r1, =question
  mov r2, #0
  ldr r3, =0x124      @ MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2
  bl MessageBoxW
  pop {lr}
  bx lr

  .section .rodata.question, "a", %progbits
  .p2align 1
question:
  .hword 'W', 'e', 'i', 't', 'e', 'r', '?', 0
