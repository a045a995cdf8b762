// A stand-in for the firmware the application runs on: a system table and
// boot services with EFIAPI functions, a pool, a console, a handle database
// for Loaded Image and Device Path, and a Device Path To Text protocol. It
// records every call and fails on request. One instance at a time is live.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Application.h"
#include "PageEnd.h"

struct OpenRecord {
  EFI_HANDLE Handle;
  EFI_GUID Protocol;
  EFI_HANDLE AgentHandle;
  EFI_HANDLE ControllerHandle;
  UINT32 Attributes;
  EFI_STATUS Status;
  int Closes;
};

// A device with Block I/O, found through LocateDevicePath: a whole disk, or
// a partition of one. Its blocks are its bytes, from FirstByte on; blocks
// past their end, up to LastBlock, read as zeros, so a disk may be far
// larger than the bytes it is made from.
struct FakeBlockDevice {
  EFI_BLOCK_IO_PROTOCOL Protocol = {};  // first, so that the protocol's address is the device's
  EFI_BLOCK_IO_MEDIA Media = {};
  std::vector<UINT8> Path;  // its device path's nodes, without the end node
  std::shared_ptr<std::vector<UINT8>> Bytes;  // a disk's, shared with its partitions
  UINT64 FirstByte = 0;
  char Tag = 0;
  EFI_HANDLE Handle() { return &Tag; }
};

struct FakeFirmware {
  // What to do. Call numbers count from 1.
  int FailAllocationCall = 0;
  bool FailAllAllocations = false;
  int FailOutputCall = 0;
  bool FailAllOutput = false;
  bool NoConsole = false;
  bool FailLoadedImageOpen = false;
  bool LoadedImageIsNull = false;  // the open succeeds and hands over a null interface
  bool FailDevicePathOpen = false;
  bool DevicePathIsNull = false;
  bool FailLocate = false;
  bool LocateGivesNull = false;  // LocateProtocol succeeds and hands over a null interface
  bool ConvertReturnsNull = false;
  std::u16string PathText = u"PciRoot(0x0)/Pci(0x1,0x1)/HD(1,GPT,67452301-AB89-EFCD-0011-223344556677,0x800,0x100000)";
  // Warnings, as real firmware gives them after doing what was asked: the
  // console after showing the text (a glyph it could not draw), the opens and
  // the locate after handing over the interface. Success when 0.
  EFI_STATUS OutputWarning = EFI_SUCCESS;
  EFI_STATUS LoadedImageOpenWarning = EFI_SUCCESS;
  EFI_STATUS DevicePathOpenWarning = EFI_SUCCESS;
  EFI_STATUS LocateWarning = EFI_SUCCESS;

  // What happened.
  std::vector<std::u16string> Shown;  // each successful OutputString call
  int OutputCalls = 0;
  int AllocationCalls = 0;
  std::vector<UINTN> AllocationSizes;
  std::vector<void *> Live;  // pool blocks not yet freed
  int NullFrees = 0;
  // Wrong pool type, unknown pointer freed, wrong This, stray close; a text
  // handed to OutputString that is not the live pool block of the latest
  // allocation, or a shown block still live when the next print allocates.
  int Mistakes = 0;
  void *LatestBlock = nullptr;  // the pool block AllocatePool handed out last
  void *ShownBlock = nullptr;   // the block OutputString was handed last
  std::vector<OpenRecord> Opens;
  std::vector<EFI_GUID> CloseOrder;
  int LocateCalls = 0;
  int ConvertCalls = 0;
  const EFI_DEVICE_PATH_PROTOCOL *ConvertedPath = nullptr;
  BOOLEAN DisplayOnly = FALSE;
  BOOLEAN AllowShortcuts = FALSE;

  // The firmware's side.
  char ImageTag = 0;
  char DeviceTag = 0;
  std::unique_ptr<UINT8[]> Path;  // exactly as long as the path, so over-reads trap
  std::unique_ptr<PageEndCopy> PathAtPageEnd;  // when set, the path handed over instead
  EFI_LOADED_IMAGE_PROTOCOL LoadedImage = {};
  EFI_DEVICE_PATH_TO_TEXT_PROTOCOL DevicePathToText = {};
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL Console = {};
  EFI_BOOT_SERVICES BootServices = {};
  EFI_SYSTEM_TABLE SystemTable = {};

  // The image's volume, key input, timers and the watchdog, which the
  // options use. What to do:
  bool HasFileSystem = false;  // the device handle carries Simple File System
  bool FailFileSystemOpen = false;
  bool FileSystemIsNull = false;  // the open succeeds and hands over a null interface
  bool FailOpenVolume = false;
  bool ReadOnlyVolume = false;  // an open for writing gives EFI_WRITE_PROTECTED
  size_t VolumeFree = (size_t)-1;  // bytes the volume still takes; then EFI_VOLUME_FULL
  int FailFileOpenCall = 0;  // counts the opens from the root folder
  bool FailRead = false;
  int FailWriteCall = 0;
  bool ShortWrite = false;  // a write takes one byte less than offered and says success
  bool FailFlush = false;
  bool FailFileClose = false;  // the handle is closed, the status says it failed
  bool DeleteWarns = false;  // Delete closes the handle, keeps the file, and warns
  std::map<std::u16string, std::string> Files;  // by path from the root, "\\" first
  std::set<std::u16string> Folders = {u"\\", u"\\EFI", u"\\EFI\\BOOT"};
  bool NoConsoleInput = false;
  int KeysTypedAhead = 0;  // keys waiting before the application starts
  int KeyAtWait = 0;  // the WaitForEvent call a key arrives at (0: none ever comes)
  int EmptyKeySignals = 0;  // key events signalled with no key to read, before a real one
  bool FailCreateEvent = false;
  bool FailSetTimer = false;
  int FailWaitCall = 0;
  bool FailWatchdog = false;
  // What happened:
  std::vector<OpenRecord> FileSystemOpens;
  std::vector<std::string> FileCalls;  // "open PATH MODE", "read", "write N", "flush", "close", "delete"
  int FileOpenCalls = 0;
  int WriteCalls = 0;
  std::set<void *> LiveFiles;  // file handles not yet closed
  int KeysRead = 0;
  int WaitCalls = 0;
  int TimerTicks = 0;  // waits that ended on the timer: seconds gone by
  std::set<EFI_EVENT> LiveEvents;
  std::vector<std::pair<int, UINT64>> Timers;  // each SetTimer's type and period
  std::vector<UINTN> Watchdog;  // each SetWatchdogTimer's timeout
  // The firmware's side.
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL FileSystem = {};
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL Input = {};
  char KeyEventTag = 0;
  int KeysPending = 0;
  int SignalsPending = 0;

  // Disks, for quillmere.verify. What to do (the devices' Media fields too
  // may be changed, or their Media pointer nulled):
  bool FailLocateDevicePath = false;  // EFI_NOT_FOUND whatever the path
  bool FailBlockIoOpen = false;
  bool BlockIoIsNull = false;  // the open succeeds and hands over a null interface
  int FailReadCall = 0;  // ReadBlocks' call, counted from 1, that fails with ReadStatus
  EFI_STATUS ReadStatus = EFI_DEVICE_ERROR;
  int FailCrcCall = 0;  // CalculateCrc32's call that fails
  // What happened:
  std::vector<std::unique_ptr<FakeBlockDevice>> BlockDevices;
  std::vector<std::vector<UINT8>> LocatedPaths;  // each path LocateDevicePath was handed, end node included
  std::vector<std::pair<EFI_LBA, UINTN>> Reads;  // each ReadBlocks' LBA and size
  int CrcCalls = 0;
  // A device with Block I/O on a handle of its own, whose device path is
  // Path (nodes without the end node), with BlockSize-byte blocks up to
  // LastBlock, reading Bytes from FirstByte on.
  FakeBlockDevice &AddBlockDevice(const std::vector<UINT8> &Path, std::shared_ptr<std::vector<UINT8>> Bytes,
                                  UINT32 BlockSize, EFI_LBA LastBlock, UINT64 FirstByte = 0);

  FakeFirmware();
  ~FakeFirmware();
  EFI_HANDLE ImageHandle() { return &ImageTag; }
  EFI_HANDLE DeviceHandle() { return &DeviceTag; }
  void SetDevicePath(const std::vector<UINT8> &Bytes);
  // The path with its last byte the last readable one of its page, so that
  // a read past it faults in every build.
  void SetDevicePathAtPageEnd(const std::vector<UINT8> &Bytes);
  const UINT8 *DevicePathBytes() const {
    return PathAtPageEnd ? (const UINT8 *)PathAtPageEnd->Start : Path.get();
  }
  // Runs ApplicationEntry as the firmware would start the image.
  EFI_STATUS Run();
  // Points the application's globals at this firmware without running it.
  void InstallGlobals();
};

extern const EFI_GUID TestLoadedImageGuid;
extern const EFI_GUID TestDevicePathGuid;
extern const EFI_GUID TestDevicePathToTextGuid;
extern const EFI_GUID TestSimpleFileSystemGuid;
extern const EFI_GUID TestBlockIoGuid;
bool SameGuid(const EFI_GUID &Left, const EFI_GUID &Right);
// The CRC32 of GPT headers and the firmware's tables (reflected, polynomial
// 0xEDB88320, starting from and ending with all bits inverted), worked out
// here, its table bit by bit, apart from anything in the image.
UINT32 TestCrc32(const void *Data, size_t Size);

// What every run must leave behind: no live pool block, every successful
// open closed exactly once, no failed open closed, no misuse. Returns what
// is wrong, or an empty text.
std::string DescribeLeftovers(const FakeFirmware &Firmware);
// The same as a GoogleTest expectation.
void ExpectFirmwareLeftClean(const FakeFirmware &Firmware);
