# Debugs the device image under cesim, as the README shows:
#   build/cesim --image build/CardFolderUpdate.exe --answer no --trace --gdb 1234
#   gdb-multiarch -batch -x tools/image.gdb build/CardFolderUpdate.elf
set pagination off
set confirm off
target remote 127.0.0.1:1234
break WinMain
break CheckRomLanguage
continue
next
next
step
backtrace
print/x RomInfoBlock[128]
finish
print ResetPromptText
continue
