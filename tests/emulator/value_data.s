@ Writes three values whose data the trace must show exactly: bytes, a path whose backslashes
@ would read as escapes, and a list of strings. Returns a bit mask of the writes that did not
@ succeed: 0 when every one did.
@   1  open a profile key
@   2  "Bytes", REG_BINARY 01 2C 00 FF
@   4  "Path", REG_SZ \Storage Card\x41\
@   8  "List", REG_MULTI_SZ "one", "", "two \"quoted\""
@  16  close the key
  .include "program.inc"
  PROGRAM
  push {r4-r7, lr}
  sub sp, sp, #16
  mov r7, #0

  add r0, sp, #8
  str r0, [sp]        @ the fifth argument: where the key goes
  ldr r0, =0x80000002 @ HKEY_LOCAL_MACHINE
  ldr r1, =profile
  mov r2, #0
  mov r3, #0
  bl RegOpenKeyExW
  cmp r0, #0
  orrne r7, r7, #1
  ldr r4, [sp, #8]

  ldr r5, =values     @ name, type, data, size for each write
  mov r6, #2          @ the bit of the next write
next:
  ldr r1, [r5], #4
  cmp r1, #0
  beq written
  ldr r3, [r5], #4
  ldr r0, [r5], #4
  str r0, [sp]        @ the data
  ldr r0, [r5], #4
  str r0, [sp, #4]    @ its size
  mov r0, r4
  mov r2, #0
  bl RegSetValueExW
  cmp r0, #0
  orrne r7, r7, r6
  lsl r6, r6, #1
  b next

written:
  mov r0, r4
  bl RegCloseKey
  cmp r0, #0
  orrne r7, r7, #16

  mov r0, r7
  add sp, sp, #16
  pop {r4-r7, lr}
  bx lr

  .section .rodata.strings, "a", %progbits
  .p2align 2
values:
  .word bytes_name, 3, bytes, 4         @ REG_BINARY
  .word path_name, 1, path, path_end - path  @ REG_SZ
  .word list_name, 7, list, list_end - list  @ REG_MULTI_SZ
  .word 0
bytes:
  .byte 0x01, 0x2C, 0x00, 0xFF
  .p2align 1
path:
  .hword '\\', 'S', 't', 'o', 'r', 'a', 'g', 'e', ' ', 'C', 'a', 'r', 'd', '\\', 'x', '4', '1'
  .hword '\\', 0
path_end:
list:
  .hword 'o', 'n', 'e', 0, 0, 't', 'w', 'o', ' ', '"', 'q', 'u', 'o', 't', 'e', 'd', '"', 0, 0
list_end:
profile:
  .hword '\\', 'S', 'y', 's', 't', 'e', 'm', '\\', 'S', 't', 'o', 'r', 'a', 'g', 'e', 'M', 'a'
  .hword 'n', 'a', 'g', 'e', 'r', '\\', 'P', 'r', 'o', 'f', 'i', 'l', 'e', 's', '\\', 'M', 'M'
  .hword 'C', 0
bytes_name:
  .hword 'B', 'y', 't', 'e', 's', 0
path_name:
  .hword 'P', 'a', 't', 'h', 0
list_name:
  .hword 'L', 'i', 's', 't', 0
