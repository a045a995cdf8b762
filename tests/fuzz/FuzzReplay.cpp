// The main of a fuzz target in a tree without libFuzzer (clang ships it for
// x86 alone): it runs each seed of the corpus through LLVMFuzzerTestOneInput,
// then variants of them made by a fixed pseudo-random sequence of small
// edits, so that the target and its checks still run on that instruction
// set. No coverage guides the variants; the long searches are the libFuzzer
// trees' work.
//
// It takes the arguments RunFuzzer.cmake hands a libFuzzer target:
//   -runs=N     inputs in all, the seeds included (at least the seeds)
//   -seed=S     the sequence of edits
//   -dict=FILE  libFuzzer's dictionary format; its tokens are among the edits
//   -artifact_prefix=P  where an input that fails a check is written, as Pcrash
// and ignores -timeout=, -max_len= and -print_final_stats=. The other
// arguments are corpus folders or files. It fails when it finds no seed.

// 64-bit file offsets and inode numbers on 32-bit targets too: without them
// readdir fails on a file system whose inode numbers need more than 32 bits.
#define _FILE_OFFSET_BITS 64

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size);

namespace {

using Bytes = std::vector<uint8_t>;

// The input being run and where it goes when a check aborts.
const Bytes *Running;
char CrashPath[4096];

void SaveRunningInput(int Signal) {
  int File = open(CrashPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (File >= 0) {
    ssize_t Written = write(File, Running->data(), Running->size());
    close(File);
    const char Note[] = "fuzz replay: the failing input is in the artifact file\n";
    Written = write(2, Note, sizeof Note - 1);
    (void)Written;
  }
  signal(Signal, SIG_DFL);
  raise(Signal);
}

bool ReadFile(const std::string &Path, std::vector<Bytes> *Inputs) {
  std::ifstream Stream(Path, std::ios::binary);
  Inputs->emplace_back(std::istreambuf_iterator<char>(Stream), std::istreambuf_iterator<char>());
  return !Stream.bad() && Stream.is_open();
}

// The quoted tokens of a libFuzzer dictionary: name="text" lines, with \\,
// \" and \xNN escapes.
std::vector<Bytes> ReadDictionary(const std::string &Path) {
  std::vector<Bytes> Tokens;
  std::ifstream Stream(Path);
  std::string Line;
  while (std::getline(Stream, Line)) {
    size_t Open = Line.find('"');
    if (Line.empty() || Line[0] == '#' || Open == std::string::npos) {
      continue;
    }
    Bytes Token;
    for (size_t At = Open + 1; At < Line.size() && Line[At] != '"'; At++) {
      if (Line[At] == '\\' && At + 1 < Line.size() && Line[At + 1] == 'x' && At + 3 < Line.size()) {
        Token.push_back((uint8_t)std::stoi(Line.substr(At + 2, 2), nullptr, 16));
        At += 3;
      } else {
        At += Line[At] == '\\';
        Token.push_back((uint8_t)Line[At]);
      }
    }
    Tokens.push_back(Token);
  }
  return Tokens;
}

struct Random {
  uint64_t State;
  uint64_t Next() {
    State ^= State << 13;
    State ^= State >> 7;
    State ^= State << 17;
    return State;
  }
  size_t Below(size_t Bound) { return Bound == 0 ? 0 : (size_t)(Next() % Bound); }
};

// One to four edits: a byte changed, set to a boundary value, put in or
// taken out, a run repeated, the input cut, or a dictionary token put in.
Bytes Vary(Bytes Input, Random &Rng, const std::vector<Bytes> &Tokens, size_t MaxSize) {
  static const uint8_t Boundaries[] = {0x00, 0x01, 0x7F, 0x80, 0xFF, '%', '\n'};
  for (size_t Edits = 1 + Rng.Below(4); Edits > 0; Edits--) {
    size_t At = Rng.Below(Input.size() + 1);
    switch (Rng.Below(7)) {
      case 0:
        if (At < Input.size()) Input[At] ^= (uint8_t)(1u << Rng.Below(8));
        break;
      case 1:
        if (At < Input.size()) Input[At] = Boundaries[Rng.Below(sizeof Boundaries)];
        break;
      case 2:
        Input.insert(Input.begin() + At, (uint8_t)Rng.Next());
        break;
      case 3:
        if (At < Input.size()) Input.erase(Input.begin() + At);
        break;
      case 4: {
        size_t Length = std::min(Input.size() - std::min(At, Input.size()), 1 + Rng.Below(8));
        Bytes Run(Input.begin() + At, Input.begin() + At + Length);
        Input.insert(Input.begin() + At, Run.begin(), Run.end());
        break;
      }
      case 5:
        Input.resize(At);
        break;
      default:
        if (!Tokens.empty()) {
          const Bytes &Token = Tokens[Rng.Below(Tokens.size())];
          Input.insert(Input.begin() + At, Token.begin(), Token.end());
        }
    }
  }
  if (Input.size() > MaxSize) {
    Input.resize(MaxSize);
  }
  return Input;
}

bool Starts(const std::string &Text, const char *Start, std::string *Rest) {
  size_t Length = strlen(Start);
  if (Text.compare(0, Length, Start) != 0) {
    return false;
  }
  *Rest = Text.substr(Length);
  return true;
}

}  // namespace

int main(int Count, char **Arguments) {
  uint64_t Runs = 0, Seed = 1;
  std::string Prefix, Value;
  std::vector<Bytes> Tokens, Seeds;
  for (int Index = 1; Index < Count; Index++) {
    std::string Argument = Arguments[Index];
    if (Starts(Argument, "-runs=", &Value)) {
      Runs = std::stoull(Value);
    } else if (Starts(Argument, "-seed=", &Value)) {
      Seed = std::stoull(Value);
    } else if (Starts(Argument, "-dict=", &Value)) {
      Tokens = ReadDictionary(Value);
    } else if (Starts(Argument, "-artifact_prefix=", &Value)) {
      Prefix = Value;
    } else if (Starts(Argument, "-timeout=", &Value) || Starts(Argument, "-max_len=", &Value) ||
               Starts(Argument, "-print_final_stats=", &Value)) {
    } else if (Argument[0] == '-') {
      fprintf(stderr, "fuzz replay: unknown option %s\n", Argument.c_str());
      return 2;
    } else if (DIR *Folder = opendir(Argument.c_str())) {
      std::vector<std::string> Names;
      errno = 0;
      while (dirent *Entry = readdir(Folder)) {
        if (Entry->d_name[0] != '.') {
          Names.push_back(Argument + "/" + Entry->d_name);
        }
      }
      bool Listed = errno == 0;
      closedir(Folder);
      std::sort(Names.begin(), Names.end());
      for (const std::string &Name : Names) {
        Listed = ReadFile(Name, &Seeds) && Listed;
      }
      if (!Listed) {
        fprintf(stderr, "fuzz replay: cannot read the corpus %s: %s\n", Argument.c_str(), strerror(errno));
        return 2;
      }
    } else if (!ReadFile(Argument, &Seeds)) {
      fprintf(stderr, "fuzz replay: cannot read %s\n", Argument.c_str());
      return 2;
    }
  }
  if (Seeds.empty()) {
    fprintf(stderr, "fuzz replay: no seed input found\n");
    return 1;
  }
  snprintf(CrashPath, sizeof CrashPath, "%scrash", Prefix.c_str());
  for (int Signal : {SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE}) {
    signal(Signal, SaveRunningInput);
  }

  size_t MaxSize = 64;
  for (const Bytes &Input : Seeds) {
    MaxSize = std::max(MaxSize, Input.size() + 64);
  }
  Random Rng{Seed * 0x9E3779B97F4A7C15ULL | 1};
  uint64_t Done = 0;
  for (; Done < Seeds.size() || Done < Runs; Done++) {
    Bytes Input = Done < Seeds.size() ? Seeds[Done] : Vary(Seeds[Rng.Below(Seeds.size())], Rng, Tokens, MaxSize);
    Running = &Input;
    // In a block of exactly its size, as libFuzzer hands it over.
    std::unique_ptr<uint8_t[]> Copy(new uint8_t[Input.size()]);
    std::copy(Input.begin(), Input.end(), Copy.get());
    LLVMFuzzerTestOneInput(Copy.get(), Input.size());
  }
  printf("fuzz replay: %zu seeds and %llu variants, every check held\n", Seeds.size(),
         (unsigned long long)(Done - Seeds.size()));
  return 0;
}
