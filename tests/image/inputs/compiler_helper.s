@ A program that divides through a compiler helper it brings along, as it would if a run-time
@ library were linked in.
  .syntax unified
  .arm
  .text
  .global WinMain
  .type WinMain, %function
WinMain:
  b __aeabi_uidiv

  .global __aeabi_uidiv
  .type __aeabi_uidiv, %function
__aeabi_uidiv:
  mov r0, #0
  bx lr
