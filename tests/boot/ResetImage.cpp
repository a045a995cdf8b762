// A UEFI application that resets the machine instead of reporting: it loads an
// empty interrupt descriptor table and raises a breakpoint, which cannot be
// delivered, so the processor triple-faults. The boot harness must count this
// as a failure, never as a report.

extern "C" unsigned long long __attribute__((ms_abi)) TripleFaultEntry(void *, void *) {
  static const unsigned char EmptyTable[10] = {};
  asm volatile("lidt %0\n\tint3" : : "m"(EmptyTable));
  return 0;
}
