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
  size_t Readable;  // whole pages, as many as the bytes need
  unsigned char *Pages;
  void *Start;

  PageEndCopy(const void *Bytes, size_t Size) : PageSize((size_t)sysconf(_SC_PAGESIZE)) {
    Readable = Size == 0 ? PageSize : (Size + PageSize - 1) / PageSize * PageSize;
    void *Mapped = mmap(nullptr, Readable + PageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (Mapped == MAP_FAILED || mprotect((unsigned char *)Mapped + Readable, PageSize, PROT_NONE) != 0) {
      abort();
    }
    Pages = (unsigned char *)Mapped;
    Start = Pages + Readable - Size;
    if (Size != 0) {
      memcpy(Start, Bytes, Size);
    }
  }
  // A text with its terminator as the last readable character.
  explicit PageEndCopy(const std::string &Text) : PageEndCopy(Text.c_str(), Text.size() + 1) {}
  explicit PageEndCopy(const std::u16string &Text)
      : PageEndCopy(Text.c_str(), (Text.size() + 1) * sizeof(char16_t)) {}
  PageEndCopy(const PageEndCopy &) = delete;
  PageEndCopy &operator=(const PageEndCopy &) = delete;
  ~PageEndCopy() { munmap(Pages, Readable + PageSize); }
};
