// The firmware tables and protocol interfaces this application uses, laid
// out as the firmware lays them out: one layout for the architectures with
// 64-bit pointers, one for those with 32-bit pointers.
//
// Only the services the application calls carry their real signatures; the
// others stand in the tables as untyped entries under their UEFI names, so
// that every used entry sits at its real offset. The static_asserts pin the
// offsets the firmware relies on, for each pointer width.
//
// UEFI aligns every 64-bit field to 8 bytes on all its architectures, as the
// image targets' own ABIs do; the i386 System V ABI of the -m32 host build
// would give them 4, so those fields say alignas(8).
#pragma once

#include "UefiTypes.h"

// A layout value for the build's pointer width: the firmware's offset or
// size with 64-bit pointers, or with 32-bit ones.
constexpr UINTN ByPointerWidth(UINTN With64BitPointers, UINTN With32BitPointers) {
  return sizeof(VOID *) == 8 ? With64BitPointers : With32BitPointers;
}

// Any table entry this application never calls.
typedef VOID(EFIAPI *EFI_UNUSED_SERVICE)();

struct EFI_TABLE_HEADER {
  alignas(8) UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_TABLE_HEADER) == 24, "EFI_TABLE_HEADER is 24 bytes");

enum EFI_MEMORY_TYPE : UINT32 {
  EfiReservedMemoryType,
  EfiLoaderCode,
  EfiLoaderData,
  EfiBootServicesCode,
  EfiBootServicesData,
  EfiRuntimeServicesCode,
  EfiRuntimeServicesData,
  EfiConventionalMemory,
  EfiUnusableMemory,
  EfiACPIReclaimMemory,
  EfiACPIMemoryNVS,
  EfiMemoryMappedIO,
  EfiMemoryMappedIOPortSpace,
  EfiPalCode,
  EfiPersistentMemory,
  EfiMaxMemoryType
};
static_assert(EfiBootServicesData == 4, "pool type of the print buffers");

#define EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL 0x00000001
#define EFI_OPEN_PROTOCOL_GET_PROTOCOL 0x00000002

// ---------------------------------------------------------------------------
// Device paths.

// The header every device-path node starts with. Nodes follow one another
// without alignment, so Length is kept as bytes and read with ReadUnaligned.
struct EFI_DEVICE_PATH_PROTOCOL {
  UINT8 Type;
  UINT8 SubType;
  UINT8 Length[2];
};
static_assert(sizeof(EFI_DEVICE_PATH_PROTOCOL) == 4, "a device-path node header is 4 bytes");

#define MEDIA_DEVICE_PATH 0x04
#define MEDIA_HARDDRIVE_DP 0x01
#define MEDIA_CDROM_DP 0x02
#define END_DEVICE_PATH_TYPE 0x7F
#define END_INSTANCE_DEVICE_PATH_SUBTYPE 0x01
#define END_ENTIRE_DEVICE_PATH_SUBTYPE 0xFF

// Byte offsets of the fields of a hard-drive media node, which is 42 bytes
// long. The node is packed and may start at any address, so its fields are
// read by offset rather than through a struct.
#define HARDDRIVE_PARTITION_NUMBER 4
#define HARDDRIVE_PARTITION_START 8
#define HARDDRIVE_PARTITION_SIZE 16
#define HARDDRIVE_SIGNATURE 24
#define HARDDRIVE_PARTITION_FORMAT 40
#define HARDDRIVE_SIGNATURE_TYPE 41
#define HARDDRIVE_NODE_LENGTH 42

// PartitionFormat and SignatureType values of a hard-drive node.
#define MBR_TYPE_PCAT 0x01
#define MBR_TYPE_EFI_PARTITION_TABLE_HEADER 0x02
#define NO_DISK_SIGNATURE 0x00
#define SIGNATURE_TYPE_MBR 0x01
#define SIGNATURE_TYPE_GUID 0x02

// Byte offsets of the fields of a CD-ROM media node, which is 24 bytes long:
// the boot catalog entry (0 for the initial/default entry), and the start
// and size of the boot image in the medium's blocks.
#define CDROM_BOOT_ENTRY 4
#define CDROM_PARTITION_START 8
#define CDROM_PARTITION_SIZE 16
#define CDROM_NODE_LENGTH 24

struct EFI_DEVICE_PATH_TO_TEXT_PROTOCOL;

typedef CHAR16 *(EFIAPI *EFI_DEVICE_PATH_TO_TEXT_NODE)(CONST EFI_DEVICE_PATH_PROTOCOL *DeviceNode, BOOLEAN DisplayOnly,
                                                       BOOLEAN AllowShortcuts);
typedef CHAR16 *(EFIAPI *EFI_DEVICE_PATH_TO_TEXT_PATH)(CONST EFI_DEVICE_PATH_PROTOCOL *DevicePath, BOOLEAN DisplayOnly,
                                                       BOOLEAN AllowShortcuts);

struct EFI_DEVICE_PATH_TO_TEXT_PROTOCOL {
  EFI_DEVICE_PATH_TO_TEXT_NODE ConvertDeviceNodeToText;
  EFI_DEVICE_PATH_TO_TEXT_PATH ConvertDevicePathToText;
};
static_assert(__builtin_offsetof(EFI_DEVICE_PATH_TO_TEXT_PROTOCOL, ConvertDevicePathToText) == ByPointerWidth(8, 4));

// ---------------------------------------------------------------------------
// Console output.

struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_TEXT_STRING)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, CHAR16 *String);

struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL {
  EFI_UNUSED_SERVICE Reset;
  EFI_TEXT_STRING OutputString;
  EFI_UNUSED_SERVICE TestString;
  EFI_UNUSED_SERVICE QueryMode;
  EFI_UNUSED_SERVICE SetMode;
  EFI_UNUSED_SERVICE SetAttribute;
  EFI_UNUSED_SERVICE ClearScreen;
  EFI_UNUSED_SERVICE SetCursorPosition;
  EFI_UNUSED_SERVICE EnableCursor;
  VOID *Mode;
};
static_assert(__builtin_offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, OutputString) == ByPointerWidth(8, 4));
static_assert(sizeof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL) == ByPointerWidth(80, 40));

// ---------------------------------------------------------------------------
// Boot services.

typedef EFI_STATUS(EFIAPI *EFI_ALLOCATE_POOL)(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer);
typedef EFI_STATUS(EFIAPI *EFI_FREE_POOL)(VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_OPEN_PROTOCOL)(EFI_HANDLE Handle, CONST EFI_GUID *Protocol, VOID **Interface,
                                              EFI_HANDLE AgentHandle, EFI_HANDLE ControllerHandle, UINT32 Attributes);
typedef EFI_STATUS(EFIAPI *EFI_CLOSE_PROTOCOL)(EFI_HANDLE Handle, CONST EFI_GUID *Protocol, EFI_HANDLE AgentHandle,
                                               EFI_HANDLE ControllerHandle);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_PROTOCOL)(CONST EFI_GUID *Protocol, VOID *Registration, VOID **Interface);
// Finds the handle with Protocol whose device path is the longest leading
// part of *DevicePath, and moves *DevicePath past that part.
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_DEVICE_PATH)(CONST EFI_GUID *Protocol, EFI_DEVICE_PATH_PROTOCOL **DevicePath,
                                                   EFI_HANDLE *Device);
// The CRC32 of the GPT headers and of the firmware's own tables.
typedef EFI_STATUS(EFIAPI *EFI_CALCULATE_CRC32)(VOID *Data, UINTN DataSize, UINT32 *Crc32);

// Events and timers. An event of type EVT_TIMER alone has no notification,
// so its task priority is never used; it is only waited for.
typedef VOID *EFI_EVENT;
typedef UINTN EFI_TPL;
typedef VOID(EFIAPI *EFI_EVENT_NOTIFY)(EFI_EVENT Event, VOID *Context);
enum EFI_TIMER_DELAY : UINT32 { TimerCancel, TimerPeriodic, TimerRelative };
#define EVT_TIMER 0x80000000U
#define TPL_APPLICATION 4
#define TPL_CALLBACK 8
// SetTimer counts in units of 100 ns.
#define TIMER_TICKS_PER_SECOND 10000000ULL

typedef EFI_STATUS(EFIAPI *EFI_CREATE_EVENT)(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                                             VOID *NotifyContext, EFI_EVENT *Event);
typedef EFI_STATUS(EFIAPI *EFI_SET_TIMER)(EFI_EVENT Event, EFI_TIMER_DELAY Type, UINT64 TriggerTime);
typedef EFI_STATUS(EFIAPI *EFI_WAIT_FOR_EVENT)(UINTN NumberOfEvents, EFI_EVENT *Event, UINTN *Index);
typedef EFI_STATUS(EFIAPI *EFI_CLOSE_EVENT)(EFI_EVENT Event);
typedef EFI_STATUS(EFIAPI *EFI_CHECK_EVENT)(EFI_EVENT Event);
// A Timeout of 0 turns the watchdog off; any other value re-arms it for that
// many seconds from now.
typedef EFI_STATUS(EFIAPI *EFI_SET_WATCHDOG_TIMER)(UINTN Timeout, UINT64 WatchdogCode, UINTN DataSize,
                                                   CHAR16 *WatchdogData);
// The boot manager arms the watchdog for this many seconds before it starts
// a boot option.
#define BOOT_MANAGER_WATCHDOG_SECONDS 300

struct EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER Hdr;
  // Task priority.
  EFI_UNUSED_SERVICE RaiseTPL;
  EFI_UNUSED_SERVICE RestoreTPL;
  // Memory.
  EFI_UNUSED_SERVICE AllocatePages;
  EFI_UNUSED_SERVICE FreePages;
  EFI_UNUSED_SERVICE GetMemoryMap;
  EFI_ALLOCATE_POOL AllocatePool;
  EFI_FREE_POOL FreePool;
  // Events and timers.
  EFI_CREATE_EVENT CreateEvent;
  EFI_SET_TIMER SetTimer;
  EFI_WAIT_FOR_EVENT WaitForEvent;
  EFI_UNUSED_SERVICE SignalEvent;
  EFI_CLOSE_EVENT CloseEvent;
  EFI_CHECK_EVENT CheckEvent;
  // Protocol handlers.
  EFI_UNUSED_SERVICE InstallProtocolInterface;
  EFI_UNUSED_SERVICE ReinstallProtocolInterface;
  EFI_UNUSED_SERVICE UninstallProtocolInterface;
  EFI_UNUSED_SERVICE HandleProtocol;
  VOID *Reserved;
  EFI_UNUSED_SERVICE RegisterProtocolNotify;
  EFI_UNUSED_SERVICE LocateHandle;
  EFI_LOCATE_DEVICE_PATH LocateDevicePath;
  EFI_UNUSED_SERVICE InstallConfigurationTable;
  // Images.
  EFI_UNUSED_SERVICE LoadImage;
  EFI_UNUSED_SERVICE StartImage;
  EFI_UNUSED_SERVICE Exit;
  EFI_UNUSED_SERVICE UnloadImage;
  EFI_UNUSED_SERVICE ExitBootServices;
  // Miscellaneous.
  EFI_UNUSED_SERVICE GetNextMonotonicCount;
  EFI_UNUSED_SERVICE Stall;
  EFI_SET_WATCHDOG_TIMER SetWatchdogTimer;
  // Driver support.
  EFI_UNUSED_SERVICE ConnectController;
  EFI_UNUSED_SERVICE DisconnectController;
  // Open and close protocol.
  EFI_OPEN_PROTOCOL OpenProtocol;
  EFI_CLOSE_PROTOCOL CloseProtocol;
  EFI_UNUSED_SERVICE OpenProtocolInformation;
  // Library services.
  EFI_UNUSED_SERVICE ProtocolsPerHandle;
  EFI_UNUSED_SERVICE LocateHandleBuffer;
  EFI_LOCATE_PROTOCOL LocateProtocol;
  EFI_UNUSED_SERVICE InstallMultipleProtocolInterfaces;
  EFI_UNUSED_SERVICE UninstallMultipleProtocolInterfaces;
  // CRC and memory.
  EFI_CALCULATE_CRC32 CalculateCrc32;
  EFI_UNUSED_SERVICE CopyMem;
  EFI_UNUSED_SERVICE SetMem;
  EFI_UNUSED_SERVICE CreateEventEx;
};
static_assert(__builtin_offsetof(EFI_BOOT_SERVICES, AllocatePool) == ByPointerWidth(0x40, 0x2C));
static_assert(__builtin_offsetof(EFI_BOOT_SERVICES, FreePool) == ByPointerWidth(0x48, 0x30));
static_assert(__builtin_offsetof(EFI_BOOT_SERVICES, OpenProtocol) == ByPointerWidth(0x118, 0x98));
static_assert(__builtin_offsetof(EFI_BOOT_SERVICES, CloseProtocol) == ByPointerWidth(0x120, 0x9C));
static_assert(__builtin_offsetof(EFI_BOOT_SERVICES, LocateProtocol) == ByPointerWidth(0x140, 0xAC));
static_assert(sizeof(EFI_BOOT_SERVICES) == ByPointerWidth(0x178, 0xC8));
// The entries added for waiting, by their slot after the header, so that the
// checks hold for any pointer size.
#define EFI_TABLE_SLOT(Index) (sizeof(EFI_TABLE_HEADER) + (Index) * sizeof(VOID *))
static_assert(__builtin_offsetof(EFI_BOOT_SERVICES, CreateEvent) == EFI_TABLE_SLOT(7));
static_assert(__builtin_offsetof(EFI_BOOT_SERVICES, SetTimer) == EFI_TABLE_SLOT(8));
static_assert(__builtin_offsetof(EFI_BOOT_SERVICES, WaitForEvent) == EFI_TABLE_SLOT(9));
static_assert(__builtin_offsetof(EFI_BOOT_SERVICES, CloseEvent) == EFI_TABLE_SLOT(11));
static_assert(__builtin_offsetof(EFI_BOOT_SERVICES, CheckEvent) == EFI_TABLE_SLOT(12));
static_assert(__builtin_offsetof(EFI_BOOT_SERVICES, SetWatchdogTimer) == EFI_TABLE_SLOT(29));
static_assert(__builtin_offsetof(EFI_BOOT_SERVICES, LocateDevicePath) == ByPointerWidth(0xB8, 0x68));
static_assert(__builtin_offsetof(EFI_BOOT_SERVICES, CalculateCrc32) == ByPointerWidth(0x158, 0xB8));

// ---------------------------------------------------------------------------
// Console input.

struct EFI_INPUT_KEY {
  UINT16 ScanCode;
  CHAR16 UnicodeChar;
};

struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_INPUT_READ_KEY)(EFI_SIMPLE_TEXT_INPUT_PROTOCOL *This, EFI_INPUT_KEY *Key);

struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL {
  EFI_UNUSED_SERVICE Reset;
  EFI_INPUT_READ_KEY ReadKeyStroke;
  // Signalled while a key is waiting to be read.
  EFI_EVENT WaitForKey;
};
static_assert(__builtin_offsetof(EFI_SIMPLE_TEXT_INPUT_PROTOCOL, WaitForKey) == 2 * sizeof(VOID *));

// ---------------------------------------------------------------------------
// The system table.

struct EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL *ConIn;
  EFI_HANDLE ConsoleOutHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConOut;
  EFI_HANDLE StandardErrorHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *StdErr;
  VOID *RuntimeServices;
  EFI_BOOT_SERVICES *BootServices;
  UINTN NumberOfTableEntries;
  VOID *ConfigurationTable;
};
// After the header: FirmwareVendor, FirmwareRevision (padded to a pointer)
// and ConsoleInHandle, for any pointer size.
static_assert(__builtin_offsetof(EFI_SYSTEM_TABLE, ConIn) == sizeof(EFI_TABLE_HEADER) + 3 * sizeof(VOID *));
static_assert(__builtin_offsetof(EFI_SYSTEM_TABLE, ConOut) == ByPointerWidth(0x40, 0x2C));
static_assert(__builtin_offsetof(EFI_SYSTEM_TABLE, BootServices) == ByPointerWidth(0x60, 0x3C));
static_assert(sizeof(EFI_SYSTEM_TABLE) == ByPointerWidth(0x78, 0x48));

// ---------------------------------------------------------------------------
// Loaded image.

struct EFI_LOADED_IMAGE_PROTOCOL {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_HANDLE DeviceHandle;
  EFI_DEVICE_PATH_PROTOCOL *FilePath;
  VOID *Reserved;
  UINT32 LoadOptionsSize;
  VOID *LoadOptions;
  VOID *ImageBase;
  alignas(8) UINT64 ImageSize;
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  EFI_UNUSED_SERVICE Unload;
};

// ---------------------------------------------------------------------------
// Files: the Simple File System protocol on a volume's handle and the File
// protocol of its folders and files.

struct EFI_FILE_PROTOCOL;

#define EFI_FILE_MODE_READ 0x0000000000000001ULL
#define EFI_FILE_MODE_WRITE 0x0000000000000002ULL
#define EFI_FILE_MODE_CREATE 0x8000000000000000ULL

typedef EFI_STATUS(EFIAPI *EFI_FILE_OPEN)(EFI_FILE_PROTOCOL *This, EFI_FILE_PROTOCOL **NewHandle, CHAR16 *FileName,
                                          UINT64 OpenMode, UINT64 Attributes);
typedef EFI_STATUS(EFIAPI *EFI_FILE_CLOSE)(EFI_FILE_PROTOCOL *This);
typedef EFI_STATUS(EFIAPI *EFI_FILE_DELETE)(EFI_FILE_PROTOCOL *This);
typedef EFI_STATUS(EFIAPI *EFI_FILE_READ)(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_FILE_WRITE)(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_FILE_FLUSH)(EFI_FILE_PROTOCOL *This);

struct EFI_FILE_PROTOCOL {
  UINT64 Revision;
  EFI_FILE_OPEN Open;
  EFI_FILE_CLOSE Close;
  // Closes the handle and removes its file; EFI_WARN_DELETE_FAILURE when the
  // handle was closed but the file stays.
  EFI_FILE_DELETE Delete;
  EFI_FILE_READ Read;
  EFI_FILE_WRITE Write;
  EFI_UNUSED_SERVICE GetPosition;
  EFI_UNUSED_SERVICE SetPosition;
  EFI_UNUSED_SERVICE GetInfo;
  EFI_UNUSED_SERVICE SetInfo;
  EFI_FILE_FLUSH Flush;
  // Revision 2 adds OpenEx, ReadEx, WriteEx and FlushEx, which are not used
  // and which a revision 1 volume does not have.
};
static_assert(__builtin_offsetof(EFI_FILE_PROTOCOL, Open) == sizeof(UINT64));
static_assert(__builtin_offsetof(EFI_FILE_PROTOCOL, Write) == sizeof(UINT64) + 4 * sizeof(VOID *));
static_assert(__builtin_offsetof(EFI_FILE_PROTOCOL, Flush) == sizeof(UINT64) + 9 * sizeof(VOID *));

struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_OPEN_VOLUME)(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This,
                                                                       EFI_FILE_PROTOCOL **Root);

struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL {
  UINT64 Revision;
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_OPEN_VOLUME OpenVolume;
};
static_assert(__builtin_offsetof(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL, OpenVolume) == sizeof(UINT64));
static_assert(__builtin_offsetof(EFI_LOADED_IMAGE_PROTOCOL, DeviceHandle) == ByPointerWidth(0x18, 0x0C));
static_assert(__builtin_offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageSize) == ByPointerWidth(0x48, 0x28));
static_assert(sizeof(EFI_LOADED_IMAGE_PROTOCOL) == ByPointerWidth(0x60, 0x40));

// ---------------------------------------------------------------------------
// Block I/O: a disk, or a partition of one, read in blocks.

typedef UINT64 EFI_LBA;

struct EFI_BLOCK_IO_MEDIA {
  UINT32 MediaId;  // changes whenever the medium does; every read names it
  BOOLEAN RemovableMedia;
  BOOLEAN MediaPresent;
  BOOLEAN LogicalPartition;  // TRUE on a partition's own Block I/O
  BOOLEAN ReadOnly;
  BOOLEAN WriteCaching;
  UINT32 BlockSize;
  UINT32 IoAlign;  // a read's buffer lies at a multiple of it; 0 and 1: anywhere
  alignas(8) EFI_LBA LastBlock;
  // Revisions 2 and 3 add fields after these, which are not read.
};
static_assert(__builtin_offsetof(EFI_BLOCK_IO_MEDIA, BlockSize) == 12);
static_assert(__builtin_offsetof(EFI_BLOCK_IO_MEDIA, IoAlign) == 16);
static_assert(__builtin_offsetof(EFI_BLOCK_IO_MEDIA, LastBlock) == 24);

struct EFI_BLOCK_IO_PROTOCOL;

// Reads BufferSize bytes, a whole number of blocks, from Lba on.
typedef EFI_STATUS(EFIAPI *EFI_BLOCK_READ)(EFI_BLOCK_IO_PROTOCOL *This, UINT32 MediaId, EFI_LBA Lba,
                                           UINTN BufferSize, VOID *Buffer);

struct EFI_BLOCK_IO_PROTOCOL {
  alignas(8) UINT64 Revision;
  EFI_BLOCK_IO_MEDIA *Media;
  EFI_UNUSED_SERVICE Reset;
  EFI_BLOCK_READ ReadBlocks;
  EFI_UNUSED_SERVICE WriteBlocks;
  EFI_UNUSED_SERVICE FlushBlocks;
};
static_assert(__builtin_offsetof(EFI_BLOCK_IO_PROTOCOL, Media) == 8);
static_assert(__builtin_offsetof(EFI_BLOCK_IO_PROTOCOL, ReadBlocks) == 8 + 2 * sizeof(VOID *));
static_assert(sizeof(EFI_BLOCK_IO_PROTOCOL) == ByPointerWidth(48, 32));
