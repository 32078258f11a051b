#!/usr/bin/env bash
# The device image's size, piece by piece: where each piece lies in the file, how many of its bytes
# are used and how many are padding to the 512-byte file alignment.
#
#   bench/image_size.sh [IMAGE]          IMAGE defaults to build/CardFolderUpdate.exe
#   bench/image_size.sh --reproducible   also builds the image twice from scratch, in two new
#                                        folders, and compares the two files byte for byte
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"

report() {
  local image="$1"
  echo "$(basename "$image"): $(stat -c %s "$image") bytes"
  llvm-readobj --file-headers --sections "$image" | awk '
    # A number as llvm-readobj prints it: decimal, or hexadecimal after 0x.
    function number(text,   digits, value, i) {
      if (text !~ /^0x/) return text + 0
      digits = tolower(substr(text, 3))
      for (i = 1; i <= length(digits); i++) value = value * 16 + index("0123456789abcdef", substr(digits, i, 1)) - 1
      return value
    }
    /AddressOfNewExeHeader:/ { nt_headers = number($2) }
    /SectionCount:/ { sections = $2 }
    /SizeOfHeaders:/ { header_size = $2 }
    /^    Name:/ { name = $2 }
    /VirtualSize:/ { virtual_size = number($2) }
    /VirtualAddress:/ { rva = number($2) }
    /RawDataSize:/ { raw_size = $2 }
    /PointerToRawData:/ {
      count++
      names[count] = name; rvas[count] = rva; sizes[count] = virtual_size
      raws[count] = raw_size; offsets[count] = number($2)
    }
    END {
      format = "  %-8s %11s %10s %6s %8s %8s %12s\n"
      printf format, "piece", "file offset", "file bytes", "used", "padding", "RVA", "memory bytes"
      used = nt_headers + 248 + 40 * sections
      printf format, "headers", "0x0", header_size, used, header_size - used, "0x0", header_size
      for (i = 1; i <= count; i++) {
        if (raws[i] == 0) {
          printf format, names[i], "-", 0, "-", "-", sprintf("0x%X", rvas[i]), sizes[i]
        } else {
          printf format, names[i], sprintf("0x%X", offsets[i]), raws[i], sizes[i], raws[i] - sizes[i],
                 sprintf("0x%X", rvas[i]), sizes[i]
        }
      }
    }'
}

if [[ "${1:-}" == "--reproducible" ]]; then
  folder="$(mktemp -d)"
  trap 'rm -rf "$folder"' EXIT
  for build in first second; do
    cmake -S "$repo" -B "$folder/$build" -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$folder/$build" --target CardFolderUpdate_exe -j"$(nproc)" >/dev/null
  done
  report "$folder/first/CardFolderUpdate.exe"
  if cmp -s "$folder/first/CardFolderUpdate.exe" "$folder/second/CardFolderUpdate.exe"; then
    echo "two clean builds in different folders: identical bytes"
  else
    echo "two clean builds in different folders: the images differ" >&2
    exit 1
  fi
else
  report "${1:-$repo/build/CardFolderUpdate.exe}"
fi
