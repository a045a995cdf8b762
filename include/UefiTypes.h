// The UEFI base types, as the firmware defines them for x86-64, AArch64,
// RISC-V 64, IA32 and 32-bit ARM.
//
// This header stands alone: it uses no standard library header, so the same
// declarations serve the freestanding image and the host test build.
#pragma once

typedef unsigned char UINT8;
typedef unsigned short UINT16;
typedef unsigned int UINT32;
typedef unsigned long long UINT64;
typedef signed char INT8;
typedef short INT16;
typedef int INT32;
typedef long long INT64;
// UINTN is as wide as a pointer: 64 bits on x86-64, AArch64 and RISC-V 64,
// 32 on IA32 and ARM. The pointer size decides, for the image targets and for the host
// builds (plain and -m32) alike; UINTN is then UINT64 or UINT32 itself, so
// that it picks the same overloads as the fixed-width type of its size.
#if __SIZEOF_POINTER__ == 8
typedef UINT64 UINTN;
typedef INT64 INTN;
#else
typedef UINT32 UINTN;
typedef INT32 INTN;
#endif
typedef unsigned char BOOLEAN;
typedef char CHAR8;
typedef char16_t CHAR16;
typedef void VOID;
#define CONST const

#define TRUE ((BOOLEAN)1)
#define FALSE ((BOOLEAN)0)

static_assert(sizeof(UINT64) == 8 && sizeof(UINTN) == sizeof(VOID *) && sizeof(INTN) == sizeof(VOID *),
              "UINTN and INTN are as wide as a pointer");
#if defined(__x86_64__) || defined(__aarch64__) || defined(__riscv)
static_assert(sizeof(UINTN) == 8, "UEFI on x86-64, AArch64 and RISC-V 64 has 64-bit UINTN and pointers");
#elif defined(__i386__) || defined(__arm__)
static_assert(sizeof(UINTN) == 4, "UEFI on IA32 and ARM has 32-bit UINTN and pointers");
#endif
static_assert(sizeof(UINT32) == 4 && sizeof(UINT16) == 2 && sizeof(CHAR16) == 2,
              "UEFI fixed-width types");

// Firmware functions use the UEFI calling convention. On x86-64 that is the
// Microsoft one, on every build, so the host tests call through exactly the
// same ABI as the image. On AArch64 and ARM it is the standard procedure
// call standard, on IA32 the C calling convention (cdecl) and on RISC-V 64
// the standard LP64 convention, in each case the compiler's own, and ms_abi
// would only draw a warning.
#if defined(__x86_64__)
#define EFIAPI __attribute__((ms_abi))
#elif defined(__aarch64__) || defined(__i386__) || defined(__arm__) || (defined(__riscv) && __riscv_xlen == 64)
#define EFIAPI
#else
#error "UEFI images are built for x86-64, AArch64, RISC-V 64, IA32 and ARM only"
#endif

typedef UINTN EFI_STATUS;
typedef VOID *EFI_HANDLE;

// The error bit is the top bit of UINTN: bit 63 on 64-bit firmware, bit 31
// on 32-bit firmware, where EFI_UNSUPPORTED is 0x80000003.
#define EFI_ERROR_BIT ((EFI_STATUS)1 << (sizeof(EFI_STATUS) * 8 - 1))
#define ENCODE_ERROR(Code) ((EFI_STATUS)(EFI_ERROR_BIT | (Code)))
// A status is an error when, read as a signed UINTN-wide number, it is
// negative.
#define EFI_ERROR(Status) (((INTN)(EFI_STATUS)(Status)) < 0)

#define EFI_SUCCESS ((EFI_STATUS)0)
#define EFI_LOAD_ERROR ENCODE_ERROR(1)
#define EFI_INVALID_PARAMETER ENCODE_ERROR(2)
#define EFI_UNSUPPORTED ENCODE_ERROR(3)
#define EFI_BUFFER_TOO_SMALL ENCODE_ERROR(5)
#define EFI_DEVICE_ERROR ENCODE_ERROR(7)
#define EFI_OUT_OF_RESOURCES ENCODE_ERROR(9)
#define EFI_NOT_READY ENCODE_ERROR(6)
#define EFI_WRITE_PROTECTED ENCODE_ERROR(8)
#define EFI_VOLUME_FULL ENCODE_ERROR(11)
#define EFI_NO_MEDIA ENCODE_ERROR(12)
#define EFI_MEDIA_CHANGED ENCODE_ERROR(13)
#define EFI_NOT_FOUND ENCODE_ERROR(14)
#define EFI_ACCESS_DENIED ENCODE_ERROR(15)
#define EFI_WARN_DELETE_FAILURE ((EFI_STATUS)2)

// 16 bytes, multi-byte fields little-endian. A GUID may lie at any address;
// the engine reads a GUID it is handed byte by byte, never through this type.
struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16, "EFI_GUID is 16 bytes");

struct EFI_TIME {
  UINT16 Year;
  UINT8 Month;
  UINT8 Day;
  UINT8 Hour;
  UINT8 Minute;
  UINT8 Second;
  UINT8 Pad1;
  UINT32 Nanosecond;
  INT16 TimeZone;
  UINT8 Daylight;
  UINT8 Pad2;
};
static_assert(sizeof(EFI_TIME) == 16, "EFI_TIME is 16 bytes");
