@ Calls LoadStringW in each way the platform's string loader answers differently and returns a
@ bit mask of the answers that differ from the device's: 0 when every one matches.
@   1  capacity 0 with a buffer: 0, nothing written
@   2  a string that is not there: 0, the terminator at index 0
@   4  capacity 5 into a buffer never cleared: 4 units, then the terminator
@   8  a NULL buffer: the address of the string itself ("Sie ...") in the image
@  16  capacity 1: 0, the terminator only
@  32  a buffer that runs from .bss into the read-only resources: 0 (a fault while copying)
@  64  capacity 253 into the last 252 bytes of the stack, which the platform checks and the whole
@      string (125 units and the terminator) fills: 125, the string
  .include "program.inc"
  PROGRAM
  sub sp, sp, #256    @ the top of the stack is the last case's buffer
  push {r4-r7, lr}
  mov r4, r0          @ the instance
  mov r7, #0          @ the answers that differ
  ldr r5, =buffer
  ldr r6, =0xCCCC

  mov r0, r4
  ldr r1, =5020
  mov r2, r5
  mov r3, #0
  bl LoadStringW
  ldrh r1, [r5]
  cmp r0, #0
  orrne r7, r7, #1
  cmp r1, r6
  orrne r7, r7, #1

  mov r0, r4
  ldr r1, =9999
  mov r2, r5
  mov r3, #10
  bl LoadStringW
  ldrh r1, [r5]
  cmp r0, #0
  orrne r7, r7, #2
  cmp r1, #0
  orrne r7, r7, #2

  mov r0, r4
  ldr r1, =5020
  add r2, r5, #16
  mov r3, #5
  bl LoadStringW
  cmp r0, #4
  orrne r7, r7, #4
  ldrh r1, [r5, #24]  @ unit 4: the terminator
  cmp r1, #0
  orrne r7, r7, #4
  ldrh r1, [r5, #26]  @ unit 5: left alone
  cmp r1, r6
  orrne r7, r7, #4

  mov r0, r4
  ldr r1, =5020
  mov r2, #0
  mov r3, #0
  bl LoadStringW
  ldrh r1, [r0]       @ faults unless it is the string's address
  cmp r1, #'S'
  orrne r7, r7, #8

  mov r0, r4
  ldr r1, =5020
  add r2, r5, #32
  mov r3, #1
  bl LoadStringW
  ldrh r1, [r5, #32]
  cmp r0, #0
  orrne r7, r7, #16
  cmp r1, #0
  orrne r7, r7, #16

  mov r0, r4
  ldr r1, =5020
  ldr r2, =tail
  mov r3, #200
  bl LoadStringW
  cmp r0, #0
  orrne r7, r7, #32

  mov r0, r4
  ldr r1, =5020
  ldr r5, =0x01000000 - 252  @ nothing is mapped above the stack
  mov r2, r5
  ldr r3, =253
  bl LoadStringW
  cmp r0, #125
  orrne r7, r7, #64
  ldrh r1, [r5]
  cmp r1, #'S'
  orrne r7, r7, #64
  ldrh r1, [r5, #250] @ the terminator
  cmp r1, #0
  orrne r7, r7, #64

  mov r0, r7
  pop {r4-r7, lr}
  add sp, sp, #256
  bx lr

  .section .data.buffer, "aw", %progbits
  .p2align 2
buffer:
  .rept 24
  .hword 0xCCCC
  .endr

  @ The last 16 bytes of the zero-filled page; the resources follow it.
  .section .bss.tail, "aw", %nobits
  .space 0x1000 - 16
tail:
  .space 16
