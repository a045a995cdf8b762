#include "Assert.h"
#include "BaseLib.h"

// Restoring binary division on 32-bit halves, for 32-bit builds: a 64-bit
// "/" there would be handed to a runtime helper (__aulldiv on IA32,
// __aeabi_uldivmod on ARM) that the image does not link, and ARMv7 need not
// have even a 32-bit divide instruction. Rest:High:Low shifts left as one
// 96-bit register; each step moves the next dividend bit into Rest and the
// quotient bit it yields into the bottom of Low, so after the steps High:Low
// holds the quotient and Rest the remainder. Every build has it, so that the
// host tests check it on 64-bit hosts as well; a 64-bit image does not link it.
UINT64 DivU64x32InHalves(UINT64 Dividend, UINT32 Divisor, UINT32 *Remainder) {
  UINT32 High = (UINT32)(Dividend >> 32);
  UINT32 Low = (UINT32)Dividend;
  UINT32 Steps = 64;
  if (High == 0) {
    // The upper 32 steps would only shift zeros: start at the lower half.
    High = Low;
    Low = 0;
    Steps = 32;
  }
  UINT32 Rest = 0;
  for (; Steps != 0; Steps--) {
    // Rest may reach 33 bits before the subtraction; its top bit is kept
    // in Carry, and then the 32-bit subtraction still gives the right rest.
    UINT32 Carry = Rest >> 31;
    Rest = (Rest << 1) | (High >> 31);
    High = (High << 1) | (Low >> 31);
    Low <<= 1;
    if (Carry != 0 || Rest >= Divisor) {
      Rest -= Divisor;
      Low |= 1;
    }
  }
  *Remainder = Rest;
  return ((UINT64)High << 32) | Low;
}

UINT64 DivU64x32Remainder(UINT64 Dividend, UINT32 Divisor, UINT32 *Remainder) {
  ASSERT_AT("base/DivU64x32Remainder", 47, Divisor != 0);
  // A 64-bit build divides with its own instruction.
  if constexpr (sizeof(UINTN) == 8) {
    if (Remainder != nullptr) {
      *Remainder = (UINT32)(Dividend % Divisor);
    }
    return Dividend / Divisor;
  } else {
    UINT32 Rest;
    UINT64 Quotient = DivU64x32InHalves(Dividend, Divisor, &Rest);
    if (Remainder != nullptr) {
      *Remainder = Rest;
    }
    return Quotient;
  }
}
