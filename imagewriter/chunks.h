// The pieces an image section is made of. Every piece knows its size before any address is
// known; the writer gives each one its address in one pass and then, in a second pass, hands it
// the buffer to write itself into, when every address it refers to is settled.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

namespace imagewriter {

class Chunk {
 public:
  virtual ~Chunk() = default;

  virtual uint32_t Size() const = 0;
  virtual uint32_t Alignment() const { return 1; }
  // Writes the chunk into `buffer`, which holds exactly Size() zero bytes.
  virtual void WriteTo(std::span<uint8_t> buffer) const = 0;

  uint32_t Rva() const { return rva_; }
  void SetRva(uint32_t rva) { rva_ = rva; }

 private:
  uint32_t rva_ = 0;
};

// Bytes of the linked program, copied as they are.
class ProgramBytesChunk : public Chunk {
 public:
  explicit ProgramBytesChunk(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  uint32_t Size() const override { return static_cast<uint32_t>(bytes_.size()); }
  void WriteTo(std::span<uint8_t> buffer) const override {
    std::ranges::copy(bytes_, buffer.begin());
  }

 private:
  std::span<const uint8_t> bytes_;
};

// Zero-initialised program data: it takes room in memory, and none in the file.
class ZeroFillChunk : public Chunk {
 public:
  explicit ZeroFillChunk(uint32_t size) : size_(size) {}

  uint32_t Size() const override { return size_; }
  void WriteTo(std::span<uint8_t>) const override {}

 private:
  uint32_t size_;
};

}  // namespace imagewriter
