// Shared set-up of the libFuzzer targets: an empty application folder (no
// config.ini, so logging stays off and no log file grows during a run), and
// a byte reader over the fuzzer's input.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace pdu::fuzz {

// Creates a private folder under $TMPDIR (or /tmp) once per process and
// points PDU7318_HOME and PDU7318_LOG_PATH at it. Returns it with a
// trailing '/'.
inline const std::string& FuzzHome() {
  static const std::string home = [] {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/pdu7318-fuzz-XXXXXX";
    char* made = mkdtemp(pattern.data());
    std::string path = made != nullptr ? std::string(made) + "/" : std::string("./");
    setenv("PDU7318_HOME", path.c_str(), 1);
    setenv("PDU7318_LOG_PATH", path.c_str(), 1);
    return path;
  }();
  return home;
}

// Reads the input front to back; past its end every read gives 0 / empty.
class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return pos_ >= size_; }
  size_t Remaining() const { return size_ - pos_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  // Up to n bytes; returns how many were taken, *out points into the input.
  size_t Take(size_t n, const uint8_t** out) {
    if (n > Remaining()) n = Remaining();
    *out = data_ + pos_;
    pos_ += n;
    return n;
  }
  // The rest of the input as text (NUL bytes end it early, as in C).
  std::string RestAsText() {
    std::string s(reinterpret_cast<const char*>(data_ + pos_), Remaining());
    pos_ = size_;
    return std::string(s.c_str());
  }

 private:
  const uint8_t* data_;
  size_t size_, pos_ = 0;
};

}  // namespace pdu::fuzz

// A check that holds for every input; a violation aborts, so libFuzzer keeps
// the input as a crash.
#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);      \
      abort();                                                                      \
    }                                                                               \
  } while (0)
