// Bytes copied to the very end of a readable page with an unreadable page
// after it: a read one past them faults in every build, sanitized or not,
// where a byte after an array on the stack may just happen to be 0. Every
// reader of caller memory (formats, texts, records, device-path nodes, load
// options) is tried with its input placed so.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

struct PageEndCopy {
  size_t PageSize;
  unsigned char *Pages;
  void *Start;

  PageEndCopy(const void *Bytes, size_t Size) : PageSize((size_t)sysconf(_SC_PAGESIZE)) {
    if (Size > PageSize) {
      abort();
    }
    void *Mapped = mmap(nullptr, 2 * PageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (Mapped == MAP_FAILED || mprotect((unsigned char *)Mapped + PageSize, PageSize, PROT_NONE) != 0) {
      abort();
    }
    Pages = (unsigned char *)Mapped;
    Start = memcpy(Pages + PageSize - Size, Bytes, Size);
  }
  // A text with its terminator as the last readable character.
  explicit PageEndCopy(const std::string &Text) : PageEndCopy(Text.c_str(), Text.size() + 1) {}
  explicit PageEndCopy(const std::u16string &Text)
      : PageEndCopy(Text.c_str(), (Text.size() + 1) * sizeof(char16_t)) {}
  PageEndCopy(const PageEndCopy &) = delete;
  PageEndCopy &operator=(const PageEndCopy &) = delete;
  ~PageEndCopy() { munmap(Pages, 2 * PageSize); }
};
