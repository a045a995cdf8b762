#include "Assert.h"
#include "BaseLib.h"

UINT64 DivU64x32Remainder(UINT64 Dividend, UINT32 Divisor, UINT32 *Remainder) {
  ASSERT_AT("base/DivU64x32Remainder", 47, Divisor != 0);
  if (Remainder != nullptr) {
    *Remainder = (UINT32)(Dividend % Divisor);
  }
  return Dividend / Divisor;
}
