// Byte streams over C stdio files. Input is taken one byte (or one sector) at
// a time and output put one sector record at a time; underneath, each stream
// keeps a fixed buffer over an unbuffered FILE, so the file is read and
// written in large blocks and no byte is copied twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

namespace builder {

// One input file read strictly in sequence from its first byte. Past its end
// every take yields 0xFF. A read error ends the stream the same way and is
// remembered, so the run can report it. The stream is told how many bytes the
// run will take and never reads beyond them: surplus bytes stay unread, and a
// pipe or device is not asked for more than is needed.
class InputStream {
 public:
  static constexpr uint8_t kPastEnd = 0xFF;

  InputStream() = default;
  InputStream(const InputStream&) = delete;
  InputStream& operator=(const InputStream&) = delete;
  ~InputStream() { Close(); }

  // Adopts an open file from which at most `limit` bytes will be taken.
  void Attach(std::FILE* file, std::size_t limit);

  // Next byte, or 0xFF at and past the end.
  uint8_t Next() {
    if (pos_ < len_) return buf_[pos_++];
    return Refill() ? buf_[pos_++] : kPastEnd;
  }

  // Fills `out` with the next bytes, as many calls of Next() would.
  void Take(std::span<uint8_t> out);

  // errno of the first failed read, or 0.
  int error() const { return error_; }

  // Closes the file; a stream closed or never attached takes only 0xFF.
  void Close();

 private:
  bool Refill();

  std::FILE* file_ = nullptr;
  std::size_t unread_ = 0;  // bytes the run may still take from the file
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  int error_ = 0;
  uint8_t buf_[4096];  // holds bytes [pos_, len_) only; the rest is never read
};

// The image file, appended to in blocks through a fixed buffer. The first
// failed write is remembered and makes the rest of the run's writes no-ops;
// Close() reports it, or a failure of the close itself.
class OutputStream {
 public:
  OutputStream() = default;
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;
  ~OutputStream() { Close(); }

  void Attach(std::FILE* file);

  // Appends `bytes`: the image is put a whole record (sector header and
  // data) at a time, never a byte at a time.
  void Put(std::span<const uint8_t> bytes);

  // Writes what is buffered, closes the file and returns errno of the first
  // failure of a write or of the close, or 0.
  int Close();

 private:
  void Flush();

  std::FILE* file_ = nullptr;
  std::size_t len_ = 0;
  int error_ = 0;
  uint8_t buf_[1 << 16];  // holds bytes [0, len_) only
};

}  // namespace builder
