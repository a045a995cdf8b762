// The format engine: a format string and an argument list rendered into a
// bounded, terminated text of 8-bit or UCS-2 characters.
#pragma once

#include "FormatGrammar.h"
#include "UefiTypes.h"

// The arguments of one engine run: 8-byte slots consumed in order, one per
// conversion that takes an argument and one per "*". A conversion that finds
// no slot left reads 0, so nothing outside the list is ever read.
struct ArgumentList {
  const UINT64 *Slots;
  UINTN Count;
};

// Renders Format into Buffer, which has room for BufferSize characters, the
// terminator included. Returns the number of characters written before the
// terminator; 0, with the buffer untouched, when the call is refused. This is
// the entry for formats built at run time.
UINTN RenderFormat(VOID *Buffer, UINTN BufferSize, UINTN Flags, CONST VOID *Format, ArgumentList Arguments);

// Writes Repeat copies (none when Repeat <= 0) of Character, each of
// CharacterSize bytes, from Position on, stopping at End. Returns the new position.
UINT8 *FillCharacters(UINT8 *Position, UINT8 *End, INT64 Repeat, UINT16 Character, UINTN CharacterSize);

// Writes a zero at Text[0], then the digits of Value, least significant
// first. Returns the position of the most significant digit.
CHAR8 *ValueToDigits(CHAR8 *Text, UINT64 Value, UINT32 Radix);

// ---------------------------------------------------------------------------
// Argument slots for the variadic entries.

// Each argument becomes one 64-bit slot at the call: signed integers are
// sign-extended, unsigned ones and characters zero-extended, pointers keep
// their address. No va_list is involved, so the slot layout is the same on
// every ABI.
constexpr UINT64 ToSlot(signed char Value) { return (UINT64)(INT64)Value; }
constexpr UINT64 ToSlot(short Value) { return (UINT64)(INT64)Value; }
constexpr UINT64 ToSlot(int Value) { return (UINT64)(INT64)Value; }
constexpr UINT64 ToSlot(long Value) { return (UINT64)(INT64)Value; }
constexpr UINT64 ToSlot(long long Value) { return (UINT64)Value; }
constexpr UINT64 ToSlot(unsigned char Value) { return Value; }
constexpr UINT64 ToSlot(unsigned short Value) { return Value; }
constexpr UINT64 ToSlot(unsigned int Value) { return Value; }
constexpr UINT64 ToSlot(unsigned long Value) { return Value; }
constexpr UINT64 ToSlot(unsigned long long Value) { return Value; }
constexpr UINT64 ToSlot(char Value) { return (UINT8)Value; }
constexpr UINT64 ToSlot(char16_t Value) { return Value; }
constexpr UINT64 ToSlot(bool Value) { return Value ? 1 : 0; }
constexpr UINT64 ToSlot(decltype(nullptr)) { return 0; }
template <typename Type>
inline UINT64 ToSlot(const volatile Type *Pointer) {
  return (UINT64)(UINTN)Pointer;
}
template <typename Type>
  requires __is_enum(Type)
constexpr UINT64 ToSlot(Type Value) {
  return ToSlot(static_cast<__underlying_type(Type)>(Value));
}

// ---------------------------------------------------------------------------
// Formats checked against their arguments at compile time.

// What an argument of the variadic entries is, as far as slots go.
enum class ArgumentKind : UINT8 { Integer, Null, Text16, Text8, Guid, Time, OtherPointer, Unsupported };

template <typename Type> struct ArgumentKindOf { static constexpr ArgumentKind Kind = ArgumentKind::Unsupported; };
template <typename Type> struct ArgumentKindOf<const Type> : ArgumentKindOf<Type> {};
template <typename Type> struct ArgumentKindOf<volatile Type> : ArgumentKindOf<Type> {};
template <typename Type> struct ArgumentKindOf<const volatile Type> : ArgumentKindOf<Type> {};
template <typename Type> struct ArgumentKindOf<Type *> { static constexpr ArgumentKind Kind = ArgumentKind::OtherPointer; };
template <> struct ArgumentKindOf<decltype(nullptr)> { static constexpr ArgumentKind Kind = ArgumentKind::Null; };
#define FORMAT_ARGUMENT_KIND(Type, Value) \
  template <> struct ArgumentKindOf<Type> { static constexpr ArgumentKind Kind = ArgumentKind::Value; }
FORMAT_ARGUMENT_KIND(signed char, Integer);
FORMAT_ARGUMENT_KIND(short, Integer);
FORMAT_ARGUMENT_KIND(int, Integer);
FORMAT_ARGUMENT_KIND(long, Integer);
FORMAT_ARGUMENT_KIND(long long, Integer);
FORMAT_ARGUMENT_KIND(unsigned char, Integer);
FORMAT_ARGUMENT_KIND(unsigned short, Integer);
FORMAT_ARGUMENT_KIND(unsigned int, Integer);
FORMAT_ARGUMENT_KIND(unsigned long, Integer);
FORMAT_ARGUMENT_KIND(unsigned long long, Integer);
FORMAT_ARGUMENT_KIND(char, Integer);
FORMAT_ARGUMENT_KIND(char16_t, Integer);
FORMAT_ARGUMENT_KIND(bool, Integer);
FORMAT_ARGUMENT_KIND(CHAR16 *, Text16);
FORMAT_ARGUMENT_KIND(const CHAR16 *, Text16);
FORMAT_ARGUMENT_KIND(CHAR8 *, Text8);
FORMAT_ARGUMENT_KIND(const CHAR8 *, Text8);
FORMAT_ARGUMENT_KIND(EFI_GUID *, Guid);
FORMAT_ARGUMENT_KIND(const EFI_GUID *, Guid);
FORMAT_ARGUMENT_KIND(EFI_TIME *, Time);
FORMAT_ARGUMENT_KIND(const EFI_TIME *, Time);
#undef FORMAT_ARGUMENT_KIND

template <typename Type>
constexpr ArgumentKind KindOfArgument() {
  if constexpr (__is_enum(Type)) {
    return ArgumentKind::Integer;
  } else {
    return ArgumentKindOf<Type>::Kind;
  }
}

// Whether an argument of kind Argument fits a slot of kind Slot.
constexpr bool ArgumentFitsSlot(ArgumentKind Argument, SlotKind Slot) {
  switch (Slot) {
    case SlotKind::Integer:
    case SlotKind::Character:
    case SlotKind::Status:
      return Argument == ArgumentKind::Integer;
    case SlotKind::Pointer:
      return Argument != ArgumentKind::Unsupported;
    case SlotKind::Text16: return Argument == ArgumentKind::Text16 || Argument == ArgumentKind::Null;
    case SlotKind::Text8: return Argument == ArgumentKind::Text8 || Argument == ArgumentKind::Null;
    case SlotKind::Guid: return Argument == ArgumentKind::Guid || Argument == ArgumentKind::Null;
    case SlotKind::Time: return Argument == ArgumentKind::Time || Argument == ArgumentKind::Null;
    case SlotKind::None: return false;
  }
  return false;
}

// A failed check ends in FormatArgumentsDoNotMatch, which is deliberately
// not constexpr: calling it stops the constant evaluation. The constexpr
// function that calls it names the fault, and the compiler's note "in call
// to ..." shows its arguments: the index in the format of the "%" that
// starts the directive at fault, and the argument's number from 1 (or the
// two counts).
void FormatArgumentsDoNotMatch();
#define FORMAT_MISMATCH(Name, First, Second)                                                \
  constexpr void Name([[maybe_unused]] UINTN First, [[maybe_unused]] UINTN Second, bool Holds) { \
    if (!Holds) {                                                                             \
      FormatArgumentsDoNotMatch();                                                            \
    }                                                                                         \
  }
FORMAT_MISMATCH(FormatHasMoreArgumentsThanSlots, ArgumentCount, SlotCount)
FORMAT_MISMATCH(FormatHasMoreSlotsThanArguments, DirectiveAt, ArgumentCount)
FORMAT_MISMATCH(FormatDirectiveWantsInteger, DirectiveAt, ArgumentNumber)
FORMAT_MISMATCH(FormatDirectiveWantsPointerOrInteger, DirectiveAt, ArgumentNumber)
FORMAT_MISMATCH(FormatDirectiveWantsChar16String, DirectiveAt, ArgumentNumber)
FORMAT_MISMATCH(FormatDirectiveWantsChar8String, DirectiveAt, ArgumentNumber)
FORMAT_MISMATCH(FormatDirectiveWantsGuidPointer, DirectiveAt, ArgumentNumber)
FORMAT_MISMATCH(FormatDirectiveWantsTimePointer, DirectiveAt, ArgumentNumber)
#undef FORMAT_MISMATCH

// Walks Literal as the engine does and checks every slot it would take
// against the argument kinds, in order. Directive positions are indexes into
// the format, counting from 0 at its first character.
template <typename Unit>
constexpr void CheckFormatArguments(const Unit *Literal, UINTN Length, const ArgumentKind *Kinds, UINTN KindCount) {
  UINTN Taken = 0;
  auto ReadUnit = [&](UINTN At) -> UINT32 { return At < Length ? (UINT32)Literal[At] : 0; };
  ForEachSlot(ReadUnit, [&](UINTN DirectiveAt, SlotKind Slot) {
    if (Taken >= KindCount) {
      FormatHasMoreSlotsThanArguments(DirectiveAt, KindCount, false);
    } else if (!ArgumentFitsSlot(Kinds[Taken], Slot)) {
      switch (Slot) {
        case SlotKind::Pointer: FormatDirectiveWantsPointerOrInteger(DirectiveAt, Taken + 1, false); break;
        case SlotKind::Text16: FormatDirectiveWantsChar16String(DirectiveAt, Taken + 1, false); break;
        case SlotKind::Text8: FormatDirectiveWantsChar8String(DirectiveAt, Taken + 1, false); break;
        case SlotKind::Guid: FormatDirectiveWantsGuidPointer(DirectiveAt, Taken + 1, false); break;
        case SlotKind::Time: FormatDirectiveWantsTimePointer(DirectiveAt, Taken + 1, false); break;
        default: FormatDirectiveWantsInteger(DirectiveAt, Taken + 1, false); break;
      }
    }
    Taken++;
  });
  if (Taken != KindCount) {
    FormatHasMoreArgumentsThanSlots(KindCount, Taken, false);
  }
}

template <typename Type> struct NonDeduced { using Type_ = Type; };
template <typename Type> using NonDeducedType = typename NonDeduced<Type>::Type_;

// A format literal of Unit characters whose directives have been checked,
// while compiling, against the argument types Types. Only a string literal
// (or another constant array) converts to it; a format built at run time
// goes through RenderFormat or ConsolePrintList with an ArgumentList.
template <typename Unit, typename... Types>
struct CheckedFormat {
  const Unit *Text;

  template <UINTN Length>
  consteval CheckedFormat(const Unit (&Literal)[Length]) : Text(Literal) {
    constexpr ArgumentKind Kinds[sizeof...(Types) + 1] = {KindOfArgument<Types>()..., ArgumentKind::Unsupported};
    CheckFormatArguments(Literal, Length, Kinds, sizeof...(Types));
  }
};

template <typename... Types>
using CheckedFormat8 = CheckedFormat<CHAR8, NonDeducedType<Types>...>;
template <typename... Types>
using CheckedFormat16 = CheckedFormat<CHAR16, NonDeducedType<Types>...>;

// Lays the arguments into one slot each, in the order written, and hands
// them to Render as an ArgumentList.
template <typename RenderFn, typename... Types>
inline auto WithArgumentSlots(RenderFn Render, Types... Values) {
  const UINT64 Slots[sizeof...(Types) + 1] = {ToSlot(Values)..., 0};
  return Render(ArgumentList{Slots, sizeof...(Types)});
}

// The variadic entry into the engine for a literal format. The literal's
// character type decides FORMAT_FORMAT_WIDE, so an 8-bit literal can never be
// read as UCS-2 or the other way round; the other flags pass unchanged.
template <typename... Types>
inline UINTN FormatToBuffer(VOID *Buffer, UINTN BufferSize, UINTN Flags, CheckedFormat8<Types...> Format,
                            Types... Values) {
  return WithArgumentSlots(
      [&](ArgumentList Arguments) {
        return RenderFormat(Buffer, BufferSize, Flags & ~(UINTN)FORMAT_FORMAT_WIDE, Format.Text, Arguments);
      },
      Values...);
}

template <typename... Types>
inline UINTN FormatToBuffer(VOID *Buffer, UINTN BufferSize, UINTN Flags, CheckedFormat16<Types...> Format,
                            Types... Values) {
  return WithArgumentSlots(
      [&](ArgumentList Arguments) {
        return RenderFormat(Buffer, BufferSize, Flags | FORMAT_FORMAT_WIDE, Format.Text, Arguments);
      },
      Values...);
}
