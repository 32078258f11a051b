# The DOS program at the start of the image, right after the 64-byte DOS header: it prints a line
# and exits with status 1. 16-bit x86 code, assembled when the image writer is built; the writer
# copies the bytes. It must stay within 40 bytes for the headers to fit in one 512-byte block.
  .code16
  .text
start:
  push %cs                    # DS = CS: the message lies in the program's own segment
  pop %ds
  mov $(message - start), %dx
  mov $0x09, %ah              # DOS: write the $-terminated string at DS:DX
  int $0x21
  mov $0x4c01, %ax            # DOS: exit with status 1
  int $0x21
message:
  .ascii "Windows CE only.\r\n$"
