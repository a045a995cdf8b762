// libFuzzer target for RenderFormat.
//
// Input layout (short inputs read as if padded with zero bytes):
//   byte 0     mode: bit 0 16-bit output, bit 1 UCS-2 format, bit 2 null
//              buffer, bit 3 null format, bit 4 format at an odd address,
//              bits 5-7 all set: the size comes from LimitSizes instead
//   bytes 1-2  buffer size, little endian (0 to 1023 outside class 3)
//   byte 3     number of argument slots, modulo 17
//   then       9 bytes per slot: a kind byte and an 8-byte value
//   then       the format: bytes (or 16-bit units with a UCS-2 format) up
//              to the first zero character or the end of the input
//   then       the pool: every byte after the format's terminator
//
// A slot's use is read off the format with the plain model's grammar. A slot
// that a string, GUID or time conversion takes becomes null or a pointer to
// a copy of a pool string (terminated where the pool has a zero, or at its
// end) or of 16 pool bytes, each in a heap block of exactly its size, so
// that reading one character too many is a heap overflow. Every other slot
// is a number built from the value.
//
// After each call the target checks the engine's promises and aborts when
// one is broken: the result bound, the terminator, nothing written outside
// the counted characters and their terminator, refusal without a write,
// determinism, shorter buffers giving prefixes, and agreement between the
// two output widths and the two format widths, and the very same bytes as
// the plain model of the engine.

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "Format.h"
#include "FuzzCheck.h"
#include "ReferenceRender.h"

namespace {

constexpr size_t GuardBytes = 32;
constexpr uint8_t GuardByte = 0xA5;
constexpr size_t MaxSlots = 16;
constexpr size_t ReferenceSize = 4096;  // the "large" buffer of the prefix check

// A heap block of exactly Size bytes (Lead more in front when an odd start
// address is wanted); Data points at the first usable byte.
struct Block {
  std::unique_ptr<uint8_t[]> Storage;
  uint8_t *Data = nullptr;
  size_t Size = 0;

  Block() = default;
  Block(size_t Bytes, bool Odd) {
    size_t Lead = Odd ? 1 : 0;
    // new[] of zero bytes still gives a unique pointer; ASan treats any
    // access to it as an overflow.
    Storage.reset(new uint8_t[Bytes + Lead]);
    Data = Storage.get() + Lead;
    Size = Bytes;
  }
};

struct Input {
  const uint8_t *Data;
  size_t Size;
  size_t At = 0;

  uint8_t Byte() { return At < Size ? Data[At++] : (At++, 0); }
  uint64_t Value64() {
    uint64_t Value = 0;
    for (int Shift = 0; Shift < 64; Shift += 8) {
      Value |= (uint64_t)Byte() << Shift;
    }
    return Value;
  }
};

struct SlotSpec {
  uint8_t Kind;
  uint64_t Value;
};

// A format in characters of either width, before it is put into a block.
struct FormatUnits {
  std::vector<uint16_t> Units;  // without the terminator
  bool Wide;
};

// Copies the format and its terminator into an exactly sized block.
Block PlaceFormat(const FormatUnits &Format, bool Odd) {
  size_t CharacterSize = Format.Wide ? 2 : 1;
  Block Placed((Format.Units.size() + 1) * CharacterSize, Odd);
  for (size_t Index = 0; Index <= Format.Units.size(); Index++) {
    uint16_t Unit = Index < Format.Units.size() ? Format.Units[Index] : 0;
    if (Format.Wide) {
      Placed.Data[2 * Index] = (uint8_t)Unit;
      Placed.Data[2 * Index + 1] = (uint8_t)(Unit >> 8);
    } else {
      Placed.Data[Index] = (uint8_t)Unit;
    }
  }
  return Placed;
}

bool AllBytesAre(const uint8_t *Bytes, size_t Count, uint8_t Value) {
  return Count == 0 || (Bytes[0] == Value && memcmp(Bytes, Bytes + 1, Count - 1) == 0);
}

// Which kind of slot each slot index is taken as, walking the format as
// the plain model reads it (the engine's own grammar would share its
// faults). Slots past the supplied ones are read as 0 and need nothing here.
std::vector<ModelSlot> SlotUses(const FormatUnits &Format, size_t SlotCount) {
  std::vector<ModelSlot> Uses = ReferenceSlotUses(Format.Units.data(), Format.Units.size());
  Uses.resize(SlotCount, ModelSlot::Star);
  return Uses;
}

bool TakesPointer(ModelSlot Kind) {
  return Kind == ModelSlot::Text8 || Kind == ModelSlot::Text16 || Kind == ModelSlot::Guid || Kind == ModelSlot::Time;
}

// The argument slots and the blocks they point into.
struct Arguments {
  std::unique_ptr<UINT64[]> Slots;
  size_t Count = 0;
  std::vector<Block> Blocks;
  bool Ascii = true;  // every text and character an argument gives is below 0x80
};

Arguments BuildArguments(const std::vector<SlotSpec> &Specs, const std::vector<ModelSlot> &Uses,
                         const uint8_t *Pool, size_t PoolSize) {
  Arguments Built;
  Built.Count = Specs.size();
  Built.Slots.reset(new UINT64[Built.Count == 0 ? 1 : Built.Count]);
  for (size_t Index = 0; Index < Specs.size(); Index++) {
    const SlotSpec &Spec = Specs[Index];
    ModelSlot Use = Uses[Index];
    UINT64 Slot = 0;
    if (TakesPointer(Use)) {
      if ((Spec.Kind & 7) != 0) {
        size_t Offset = PoolSize == 0 ? 0 : (size_t)(Spec.Value % PoolSize);
        const uint8_t *From = Pool + Offset;
        size_t Available = PoolSize - Offset;
        bool Odd = (Spec.Kind & 0x80) != 0;
        Block Placed;
        if (Use == ModelSlot::Text8) {
          size_t Length = 0;
          while (Length < Available && From[Length] != 0) {
            Built.Ascii = Built.Ascii && From[Length] < 0x80;
            Length++;
          }
          Placed = Block(Length + 1, Odd);
          memcpy(Placed.Data, From, Length);
          Placed.Data[Length] = 0;
        } else if (Use == ModelSlot::Text16) {
          size_t Length = 0;
          while (2 * Length + 1 < Available && (From[2 * Length] | From[2 * Length + 1]) != 0) {
            Built.Ascii = Built.Ascii && From[2 * Length + 1] == 0 && From[2 * Length] < 0x80;
            Length++;
          }
          Placed = Block(2 * (Length + 1), Odd);
          memcpy(Placed.Data, From, 2 * Length);
          Placed.Data[2 * Length] = 0;
          Placed.Data[2 * Length + 1] = 0;
        } else {  // a GUID or a time: 16 bytes, zero where the pool ends
          Placed = Block(16, Odd);
          memset(Placed.Data, 0, 16);
          memcpy(Placed.Data, From, Available < 16 ? Available : 16);
        }
        Slot = (UINT64)(uintptr_t)Placed.Data;
        Built.Blocks.push_back(std::move(Placed));
      }
    } else {
      switch (Spec.Kind & 3) {
        case 0: Slot = Spec.Value; break;
        case 1: Slot = (UINT64)(INT64)(INT8)Spec.Value; break;  // small widths and values
        case 2: Slot = EFI_ERROR_BIT | (Spec.Value & 0x3F); break;  // around the status names
        case 3: Slot = Spec.Value & 0xFFFF; break;  // one character
      }
      if (Use == ModelSlot::Character) {
        Built.Ascii = Built.Ascii && (Slot & 0xFFFF) < 0x80;
      }
    }
    Built.Slots[Index] = Slot;
  }
  return Built;
}

// One call into a fresh buffer between guard bytes, checked on its own.
struct Outcome {
  UINTN Result;
  std::vector<uint8_t> Text;  // the counted characters, as written
};

struct Call {
  UINTN BufferSize;
  size_t Allocated;  // characters actually behind the buffer
  UINTN Flags;
  bool NullBuffer;
  const void *Format;
  bool Refused;  // what the entry checks must decide
};

// Buffers of the largest accepted size come from one arena that stays filled
// between calls: filling and freeing megabytes on every call would cost more
// than the rest of the run.
constexpr size_t ArenaBytes = GuardBytes + 2 * (size_t)FORMAT_MAX_LENGTH + GuardBytes;
constexpr uint8_t ArenaFill = 0x5A;
constexpr size_t LargeBytes = 64 * 1024;

uint8_t *Arena() {
  static uint8_t *Filled = [] {
    uint8_t *Bytes = new uint8_t[ArenaBytes];
    memset(Bytes, GuardByte, GuardBytes);
    memset(Bytes + GuardBytes, ArenaFill, ArenaBytes - 2 * GuardBytes);
    memset(Bytes + ArenaBytes - GuardBytes, GuardByte, GuardBytes);
    return Bytes;
  }();
  return Filled;
}

Outcome Run(const Call &Spec, const Arguments &Args, uint8_t Fill) {
  size_t CharacterSize = (Spec.Flags & FORMAT_OUTPUT_WIDE) != 0 ? 2 : 1;
  size_t Bytes = Spec.Allocated * CharacterSize;
  Block Area;
  uint8_t *Buffer;
  uint8_t Front = GuardByte;  // what the bytes just before the buffer hold
  if (Bytes > LargeBytes) {
    // The buffer ends where the arena's back guard starts; an 8-bit one
    // has unused arena in front of it.
    Buffer = Arena() + ArenaBytes - GuardBytes - Bytes;
    Fill = ArenaFill;
    Front = Buffer - GuardBytes == Arena() ? GuardByte : ArenaFill;
  } else {
    Area = Block(GuardBytes + Bytes + GuardBytes, false);
    memset(Area.Data, GuardByte, GuardBytes);
    memset(Area.Data + GuardBytes, Fill, Bytes);
    memset(Area.Data + GuardBytes + Bytes, GuardByte, GuardBytes);
    Buffer = Area.Data + GuardBytes;
  }

  UINTN Result = RenderFormat(Spec.NullBuffer ? nullptr : Buffer, Spec.BufferSize, Spec.Flags, Spec.Format,
                              ArgumentList{Args.Slots.get(), Args.Count});

  CHECK(AllBytesAre(Buffer - GuardBytes, GuardBytes, Front));
  CHECK(AllBytesAre(Buffer + Bytes, GuardBytes, GuardByte));
  Outcome Got = {Result, {}};
  if (Spec.Refused) {
    CHECK(Result == 0);
    CHECK(AllBytesAre(Buffer, Bytes, Fill));
    return Got;
  }
  CHECK(Result <= Spec.BufferSize - 1);
  if (Bytes <= LargeBytes) {
    // The plain model writes the same bytes and counts the same characters.
    Block Model(Bytes, false);
    memset(Model.Data, Fill, Bytes);
    UINTN ModelResult = ReferenceRenderFormat(Model.Data, Spec.BufferSize, Spec.Flags, Spec.Format, Args.Slots.get(),
                                              Args.Count);
    CHECK(ModelResult == Result);
    CHECK(memcmp(Model.Data, Buffer, Bytes) == 0);
  }
  size_t Written = Result * CharacterSize;
  CHECK(AllBytesAre(Buffer + Written, CharacterSize, 0));
  CHECK(AllBytesAre(Buffer + Written + CharacterSize, Bytes - Written - CharacterSize, Fill));
  Got.Text.assign(Buffer, Buffer + Written);
  if (Bytes > LargeBytes) {
    memset(Buffer, ArenaFill, Written + CharacterSize);
  }
  return Got;
}

// Sizes at and past the engine's limit.
const UINTN LimitSizes[] = {FORMAT_MAX_LENGTH, FORMAT_MAX_LENGTH + 1, ~(UINTN)0, (UINTN)1 << 63};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  Input In{Data, Size};
  uint8_t Mode = In.Byte();
  uint16_t SizeField = (uint16_t)(In.Byte() | (In.Byte() << 8));
  size_t SlotCount = In.Byte() % (MaxSlots + 1);
  std::vector<SlotSpec> Specs(SlotCount);
  for (SlotSpec &Spec : Specs) {
    Spec.Kind = In.Byte();
    Spec.Value = In.Value64();
  }

  bool OutputWide = (Mode & 1) != 0;
  bool FormatWide = (Mode & 2) != 0;
  bool NullBuffer = (Mode & 4) != 0;
  bool NullFormat = (Mode & 8) != 0;
  bool OddFormat = (Mode & 16) != 0;
  UINTN BufferSize = SizeField & 0x3FF;
  if ((Mode >> 5) == 7) {
    BufferSize = LimitSizes[SizeField % (sizeof(LimitSizes) / sizeof(LimitSizes[0]))];
  }

  FormatUnits Format = {{}, FormatWide};
  size_t At = In.At < Size ? In.At : Size;
  size_t Step = FormatWide ? 2 : 1;
  while (At + Step <= Size) {
    uint16_t Unit = FormatWide ? (uint16_t)(Data[At] | (Data[At + 1] << 8)) : Data[At];
    At += Step;
    if (Unit == 0) {
      break;
    }
    Format.Units.push_back(Unit);
  }
  const uint8_t *Pool = Data + At;
  size_t PoolSize = Size - At;
  bool AsciiFormat = true;
  for (uint16_t Unit : Format.Units) {
    AsciiFormat = AsciiFormat && Unit < 0x80;
  }

  Arguments Args = BuildArguments(Specs, SlotUses(Format, SlotCount), Pool, PoolSize);
  Block Placed = PlaceFormat(Format, OddFormat);

  // The entry checks, decided here from what the call is given.
  // (Formats longer than the limit are left out: each would cost a
  // megabyte a call.)
  bool Refused = BufferSize == 0 || BufferSize > FORMAT_MAX_LENGTH || NullBuffer || NullFormat;
  // A refused call gets a small buffer: whatever it writes is caught.
  size_t Allocated = BufferSize > FORMAT_MAX_LENGTH ? 64 : (size_t)BufferSize;
  UINTN Flags = (OutputWide ? FORMAT_OUTPUT_WIDE : 0) | (FormatWide ? FORMAT_FORMAT_WIDE : 0);
  Call Main = {BufferSize, Allocated, Flags, NullBuffer, NullFormat ? nullptr : Placed.Data, Refused};

  Outcome First = Run(Main, Args, 0x5A);
  Outcome Second = Run(Main, Args, 0xC3);
  CHECK(First.Result == Second.Result);
  CHECK(First.Text == Second.Text);
  if (Refused) {
    return 0;
  }
  bool Huge = BufferSize > ReferenceSize;

  // A shorter buffer cuts the same text: the result is the smaller of the
  // room and the full length, and the characters are its prefix.
  if (!Huge && BufferSize < ReferenceSize) {
    Call Large = Main;
    Large.BufferSize = Large.Allocated = ReferenceSize;
    Outcome Reference = Run(Large, Args, 0x5A);
    UINTN Expected = BufferSize - 1 < Reference.Result ? BufferSize - 1 : Reference.Result;
    CHECK(First.Result == Expected);
    CHECK(std::equal(First.Text.begin(), First.Text.end(), Reference.Text.begin()));
  }
  if (Huge) {
    return 0;
  }

  // The other output width: the same characters, 8-bit output keeping the
  // low byte of each; plain ASCII in gives a zero high byte throughout.
  Call Other = Main;
  Other.Flags ^= FORMAT_OUTPUT_WIDE;
  Outcome Flipped = Run(Other, Args, 0x5A);
  CHECK(Flipped.Result == First.Result);
  const Outcome &Narrow = OutputWide ? Flipped : First;
  const Outcome &Wide = OutputWide ? First : Flipped;
  for (size_t Index = 0; Index < First.Result; Index++) {
    CHECK(Narrow.Text[Index] == Wide.Text[2 * Index]);
    if (AsciiFormat && Args.Ascii) {
      CHECK(Wide.Text[2 * Index + 1] == 0);
    }
  }

  // The other format width: an 8-bit format widened to UCS-2, or a UCS-2
  // format whose units all fit a byte narrowed, renders the same output.
  bool Narrowable = true;
  for (uint16_t Unit : Format.Units) {
    Narrowable = Narrowable && Unit < 0x100;
  }
  if (!FormatWide || Narrowable) {
    FormatUnits Converted = {Format.Units, !FormatWide};
    Block ConvertedPlaced = PlaceFormat(Converted, OddFormat);
    Call Reformatted = Main;
    Reformatted.Flags ^= FORMAT_FORMAT_WIDE;
    Reformatted.Format = ConvertedPlaced.Data;
    Outcome Again = Run(Reformatted, Args, 0x5A);
    CHECK(Again.Result == First.Result);
    CHECK(Again.Text == First.Text);
  }
  return 0;
}
