@ A program that jumps to a routine nobody defines: the weak reference lets the link pass.
  .syntax unified
  .arm
  .text
  .global WinMain
  .type WinMain, %function
  .weak Missing
WinMain:
  b Missing
