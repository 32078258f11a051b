@ Returns a word it reaches through an absolute address in its literal pool. The test moves the
@ image's preferred base and points the relocation directory at the block below: only a loader that
@ applies the fixup finds the word.
  .include "program.inc"
  PROGRAM
  ldr r0, 1f
  ldr r0, [r0]
  bx lr
1:
  .word answer
  @ One relocation block for the code page (RVA 0x1000, 12 bytes): a HIGHLOW fixup of the literal
  @ above, at RVA 0x100C, and an ABSOLUTE entry as padding.
  .word 0x1000
  .word 12
  .hword 0x300C
  .hword 0

  .section .data.answer, "aw", %progbits
answer:
  .word 42
