#include "builder/streams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace builder {

void InputStream::Attach(std::FILE* file, std::size_t limit) {
  Close();
  std::setvbuf(file, nullptr, _IONBF, 0);  // this stream does its own buffering
  file_ = file;
  unread_ = limit;
  pos_ = len_ = 0;
  error_ = 0;
}

bool InputStream::Refill() {
  pos_ = len_ = 0;
  if (file_ == nullptr || unread_ == 0) return false;
  const std::size_t want = std::min(unread_, sizeof buf_);
  errno = 0;
  const std::size_t got = std::fread(buf_, 1, want, file_);
  if (got < want && std::ferror(file_)) {
    error_ = errno != 0 ? errno : EIO;
  }
  if (got == 0 || got < want) {
    unread_ = 0;  // the end, or an error, is final: never read again
  } else {
    unread_ -= got;
  }
  len_ = got;
  return got != 0;
}

void InputStream::Take(std::span<uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    if (pos_ == len_ && !Refill()) {
      std::fill(out.begin() + static_cast<std::ptrdiff_t>(done), out.end(), kPastEnd);
      return;
    }
    const std::size_t n = std::min(out.size() - done, len_ - pos_);
    std::memcpy(out.data() + done, buf_ + pos_, n);
    pos_ += n;
    done += n;
  }
}

void InputStream::Close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  unread_ = pos_ = len_ = 0;
}

void OutputStream::Attach(std::FILE* file) {
  std::setvbuf(file, nullptr, _IONBF, 0);  // this stream does its own buffering
  file_ = file;
  len_ = 0;
  error_ = 0;
}

void OutputStream::Put(std::span<const uint8_t> bytes) {
  const uint8_t* p = bytes.data();
  std::size_t left = bytes.size();
  while (left != 0) {
    if (len_ == sizeof buf_) Flush();
    const std::size_t n = std::min(left, sizeof buf_ - len_);
    std::memcpy(buf_ + len_, p, n);
    len_ += n;
    p += n;
    left -= n;
  }
}

void OutputStream::Flush() {
  if (file_ != nullptr && error_ == 0 && len_ != 0) {
    errno = 0;
    if (std::fwrite(buf_, 1, len_, file_) != len_) error_ = errno != 0 ? errno : EIO;
  }
  len_ = 0;
}

int OutputStream::Close() {
  if (file_ == nullptr) return error_;
  Flush();
  errno = 0;
  if (std::fclose(file_) != 0 && error_ == 0) error_ = errno != 0 ? errno : EIO;
  file_ = nullptr;
  return error_;
}

}  // namespace builder
