// The rewrite's output buffer, and the sizes of the buffers the rewrite
// streams through.
#ifndef AUTHORSTAMP_REWRITE_OUTPUT_H_
#define AUTHORSTAMP_REWRITE_OUTPUT_H_

#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "rewrite/stamp.h"

namespace stamp {

// Reads of 128 KiB measured best: larger blocks gain nothing and fall out of
// the cache.  The output buffer is twice as large because a block of empty
// LF lines doubles in size.
constexpr size_t kBlockSize = 128 * 1024;
constexpr size_t kOutputSize = 2 * kBlockSize;
constexpr size_t kWriteDirectly = kBlockSize / 4;
constexpr size_t kPageSize = 4096;

static_assert(kOutputSize >= 2 * kBlockSize,
              "a block of empty LF lines doubles in size");
static_assert(kBlockSize % kPageSize == 0,
              "the output buffer follows the input's and starts on a page too");
// Put() sends a piece under kWriteDirectly through the buffer, which has
// room for it once FlushPages() has left less than a page.
static_assert(kWriteDirectly <= kOutputSize - kPageSize,
              "a piece that Put() buffers fits");

// Collects output into large writes.  The first failure sticks and turns
// every later Put() into a no-op, so the scanning loop needs no error paths;
// the caller checks failed() once per block.
class Output {
 public:
  Output(Sink& sink, char* buf) : sink_(sink), buf_(buf) {}

  // Large pieces, the parts of a long line, go to the sink as they are
  // rather than through the buffer: copying them would cost more than the
  // extra write.
  void Put(const char* data, size_t len) {
    if (len >= kWriteDirectly) {
      Flush();
      Write(data, len);
      return;
    }
    if (len > kOutputSize - used_)
      FlushPages();
    memcpy(buf_ + used_, data, len);
    used_ += len;
  }
  void Put(std::string_view s) { Put(s.data(), s.size()); }
  void Put(const char16_t* units, size_t n) {
    Put(reinterpret_cast<const char*>(units), n * sizeof(char16_t));
  }

  // A line's |n| units and its line end, |crlf|: the call that every
  // untagged line makes, so it does without a second memcpy() for the CR LF.
  // A CR that ends the line serves as the CR of the pair.
  template <typename Unit>
  void PutLine(const Unit* data, size_t n, bool ends_with_cr,
               const std::array<Unit, 2>& crlf) {
    const size_t len = n * sizeof(Unit);
    if (len + sizeof(crlf) > kOutputSize - used_) {
      Put(data, n);
      Put(crlf.data() + ends_with_cr, crlf.size() - ends_with_cr);
      return;
    }
    char* to = buf_ + used_;
    memcpy(to, data, len);
    to += len;
    if (!ends_with_cr) {
      memcpy(to, crlf.data(), sizeof(Unit));
      to += sizeof(Unit);
    }
    memcpy(to, crlf.data() + 1, sizeof(Unit));
    to += sizeof(Unit);
    used_ = to - buf_;
  }

  // Direct access for the fast lane: at least |n| bytes of room at the
  // returned pointer, handed back with Commit().
  char* Room(size_t n) {
    if (kOutputSize - used_ < n)
      FlushPages();
    return buf_ + used_;
  }
  // The last place from which |n| bytes fit.
  char* LastRoom(size_t n) const { return buf_ + kOutputSize - n; }
  void Commit(const char* to) { used_ = to - buf_; }

  void Flush() {
    Write(buf_, used_);
    used_ = 0;
  }
  // Writes the whole pages and keeps the rest, so that every write but the
  // last begins on a page of the file: the kernel copies a fifth faster
  // into a page from its start.  Leaves room for at least kOutputSize less
  // a page.
  void FlushPages() {
    const size_t whole = used_ - used_ % kPageSize;
    Write(buf_, whole);
    memmove(buf_, buf_ + whole, used_ - whole);
    used_ -= whole;
  }
  bool failed() const { return failed_; }
  const std::string& error() const { return error_; }

 private:
  void Write(const char* data, size_t len) {
    if (!failed_ && len > 0 && !sink_.Write(data, len, &error_))
      failed_ = true;
  }

  Sink& sink_;
  char* buf_;
  size_t used_ = 0;
  bool failed_ = false;
  std::string error_;
};

}  // namespace stamp

#endif  // AUTHORSTAMP_REWRITE_OUTPUT_H_
