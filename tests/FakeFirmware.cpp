#include "FakeFirmware.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

// The protocol identifiers, written out independently of the application's.
const EFI_GUID TestLoadedImageGuid = {0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
const EFI_GUID TestDevicePathGuid = {0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
const EFI_GUID TestDevicePathToTextGuid = {
    0x8B843E20, 0x8132, 0x4852, {0x90, 0xCC, 0x55, 0x1A, 0x4E, 0x4A, 0x7F, 0x1C}};

const EFI_GUID TestSimpleFileSystemGuid = {
    0x964E5B22, 0x6459, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};

const EFI_GUID TestBlockIoGuid = {0x964E5B21, 0x6459, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};

UINT32 TestCrc32(const void *Data, size_t Size) {
  // Each byte's eight steps, worked out bit by bit once.
  static const std::vector<UINT32> Steps = [] {
    std::vector<UINT32> Table(256);
    for (UINT32 Byte = 0; Byte < 256; Byte++) {
      UINT32 Crc = Byte;
      for (int Bit = 0; Bit < 8; Bit++) {
        Crc = (Crc >> 1) ^ (Crc & 1 ? 0xEDB88320 : 0);
      }
      Table[Byte] = Crc;
    }
    return Table;
  }();
  UINT32 Crc = 0xFFFFFFFF;
  for (size_t Index = 0; Index < Size; Index++) {
    Crc = (Crc >> 8) ^ Steps[(Crc ^ ((const UINT8 *)Data)[Index]) & 0xFF];
  }
  return ~Crc;
}

bool SameGuid(const EFI_GUID &Left, const EFI_GUID &Right) { return memcmp(&Left, &Right, sizeof Left) == 0; }

namespace {

FakeFirmware *Current = nullptr;

// The Simple File System protocol's opens and closes, in the block of the
// volume's services below.
EFI_STATUS OpenFileSystem(EFI_HANDLE Handle, VOID **Interface, EFI_HANDLE AgentHandle, EFI_HANDLE ControllerHandle,
                          UINT32 Attributes);
EFI_STATUS CloseFileSystem(EFI_HANDLE Handle, EFI_HANDLE AgentHandle, EFI_HANDLE ControllerHandle);

FakeBlockDevice *BlockDeviceOf(EFI_HANDLE Handle) {
  for (auto &Device : Current->BlockDevices) {
    if (Device->Handle() == Handle) {
      return Device.get();
    }
  }
  return nullptr;
}

// What a failed call leaves in its out-parameter: any use of it traps.
VOID *const Poison = (VOID *)(UINTN)0xDEAD0000DEAD0000ULL;

void *TakeFromPool(UINTN Size) {
  void *Block = malloc(Size);
  Current->Live.push_back(Block);
  return Block;
}

EFI_STATUS EFIAPI FakeAllocatePool(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer) {
  int Call = ++Current->AllocationCalls;
  Current->AllocationSizes.push_back(Size);
  Current->Mistakes += PoolType != EfiBootServicesData;
  if (Current->FailAllAllocations || Call == Current->FailAllocationCall) {
    *Buffer = Poison;
    return EFI_OUT_OF_RESOURCES;
  }
  // A print frees its block before it returns, so the block the console
  // showed last is gone by the time anything allocates again.
  if (Current->ShownBlock != nullptr) {
    Current->Mistakes += std::find(Current->Live.begin(), Current->Live.end(), Current->ShownBlock) !=
                         Current->Live.end();
    Current->ShownBlock = nullptr;
  }
  *Buffer = Current->LatestBlock = TakeFromPool(Size);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeFreePool(VOID *Buffer) {
  if (Buffer == nullptr) {
    Current->NullFrees++;
    return EFI_INVALID_PARAMETER;
  }
  auto Found = std::find(Current->Live.begin(), Current->Live.end(), Buffer);
  if (Found == Current->Live.end()) {
    Current->Mistakes++;
    return EFI_INVALID_PARAMETER;
  }
  Current->Live.erase(Found);
  free(Buffer);
  // A later block at the same address is another one: the C library hands
  // out a freed address again at once where it caches no block of that
  // size (32-bit ARM's caches none of a print's 642 bytes).
  if (Buffer == Current->ShownBlock) {
    Current->ShownBlock = nullptr;
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeOutputString(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, CHAR16 *String) {
  int Call = ++Current->OutputCalls;
  Current->Mistakes += This != &Current->Console;
  // The text must be the print's own pool block, still live: the block the
  // pool handed out last.
  bool Live = std::find(Current->Live.begin(), Current->Live.end(), String) != Current->Live.end();
  Current->Mistakes += !Live || String != Current->LatestBlock;
  Current->ShownBlock = String;
  if (Current->FailAllOutput || Call == Current->FailOutputCall) {
    return EFI_DEVICE_ERROR;
  }
  Current->Shown.emplace_back(Live ? String : u"(not a live pool block)");
  return Current->OutputWarning;
}

EFI_STATUS EFIAPI FakeOpenProtocol(EFI_HANDLE Handle, CONST EFI_GUID *Protocol, VOID **Interface,
                                   EFI_HANDLE AgentHandle, EFI_HANDLE ControllerHandle, UINT32 Attributes) {
  if (SameGuid(*Protocol, TestSimpleFileSystemGuid)) {
    return OpenFileSystem(Handle, Interface, AgentHandle, ControllerHandle, Attributes);
  }
  EFI_STATUS Status = EFI_UNSUPPORTED;
  *Interface = Poison;
  if (Handle == Current->ImageHandle() && SameGuid(*Protocol, TestLoadedImageGuid) && !Current->FailLoadedImageOpen) {
    *Interface = Current->LoadedImageIsNull ? nullptr : &Current->LoadedImage;
    Status = Current->LoadedImageOpenWarning;
  } else if (Handle == Current->DeviceHandle() && SameGuid(*Protocol, TestDevicePathGuid) &&
             !Current->FailDevicePathOpen) {
    *Interface = Current->DevicePathIsNull ? nullptr : (VOID *)Current->DevicePathBytes();
    Status = Current->DevicePathOpenWarning;
  } else if (BlockDeviceOf(Handle) != nullptr && SameGuid(*Protocol, TestBlockIoGuid) && !Current->FailBlockIoOpen) {
    *Interface = Current->BlockIoIsNull ? nullptr : &BlockDeviceOf(Handle)->Protocol;
    Status = EFI_SUCCESS;
  }
  Current->Opens.push_back({Handle, *Protocol, AgentHandle, ControllerHandle, Attributes, Status, 0});
  return Status;
}

EFI_STATUS EFIAPI FakeCloseProtocol(EFI_HANDLE Handle, CONST EFI_GUID *Protocol, EFI_HANDLE AgentHandle,
                                    EFI_HANDLE ControllerHandle) {
  if (SameGuid(*Protocol, TestSimpleFileSystemGuid)) {
    return CloseFileSystem(Handle, AgentHandle, ControllerHandle);
  }
  Current->CloseOrder.push_back(*Protocol);
  for (OpenRecord &Open : Current->Opens) {
    if (Open.Handle == Handle && SameGuid(Open.Protocol, *Protocol) && Open.AgentHandle == AgentHandle &&
        Open.ControllerHandle == ControllerHandle && !EFI_ERROR(Open.Status) && Open.Closes == 0) {
      Open.Closes++;
      return EFI_SUCCESS;
    }
  }
  // Closing what was never opened, or twice: the handle database refuses.
  Current->Mistakes++;
  return EFI_NOT_FOUND;
}

EFI_STATUS EFIAPI FakeLocateProtocol(CONST EFI_GUID *Protocol, VOID *Registration, VOID **Interface) {
  Current->LocateCalls++;
  Current->Mistakes += Registration != nullptr;
  if (!SameGuid(*Protocol, TestDevicePathToTextGuid) || Current->FailLocate) {
    *Interface = Poison;
    return EFI_NOT_FOUND;
  }
  *Interface = Current->LocateGivesNull ? nullptr : &Current->DevicePathToText;
  return Current->LocateWarning;
}

CHAR16 *EFIAPI FakeConvertDevicePathToText(CONST EFI_DEVICE_PATH_PROTOCOL *DevicePath, BOOLEAN DisplayOnly,
                                           BOOLEAN AllowShortcuts) {
  Current->ConvertCalls++;
  Current->ConvertedPath = DevicePath;
  Current->DisplayOnly = DisplayOnly;
  Current->AllowShortcuts = AllowShortcuts;
  if (Current->ConvertReturnsNull) {
    return nullptr;
  }
  UINTN Size = (Current->PathText.size() + 1) * sizeof(CHAR16);
  return (CHAR16 *)memcpy(TakeFromPool(Size), Current->PathText.c_str(), Size);
}

// ---------------------------------------------------------------------------
// The image's volume, key input, timers and the watchdog.

EFI_STATUS OpenFileSystem(EFI_HANDLE Handle, VOID **Interface, EFI_HANDLE AgentHandle, EFI_HANDLE ControllerHandle,
                          UINT32 Attributes) {
  EFI_STATUS Status = EFI_UNSUPPORTED;
  *Interface = Poison;
  if (Handle == Current->DeviceHandle() && Current->HasFileSystem && !Current->FailFileSystemOpen) {
    *Interface = Current->FileSystemIsNull ? nullptr : &Current->FileSystem;
    Status = EFI_SUCCESS;
  }
  Current->FileSystemOpens.push_back(
      {Handle, TestSimpleFileSystemGuid, AgentHandle, ControllerHandle, Attributes, Status, 0});
  return Status;
}

EFI_STATUS CloseFileSystem(EFI_HANDLE Handle, EFI_HANDLE AgentHandle, EFI_HANDLE ControllerHandle) {
  for (OpenRecord &Open : Current->FileSystemOpens) {
    if (Open.Handle == Handle && Open.AgentHandle == AgentHandle && Open.ControllerHandle == ControllerHandle &&
        !EFI_ERROR(Open.Status) && Open.Closes == 0) {
      Open.Closes++;
      return EFI_SUCCESS;
    }
  }
  Current->Mistakes++;
  return EFI_NOT_FOUND;
}

struct FakeFile {
  EFI_FILE_PROTOCOL Protocol;  // first, so that the protocol's address is the file's
  std::u16string Path;  // empty for the root folder
  bool Writable;
  size_t Position;
};

std::string Narrow(const std::u16string &Text) { return std::string(Text.begin(), Text.end()); }

FakeFile *LiveFile(EFI_FILE_PROTOCOL *This) {
  if (Current->LiveFiles.count(This) == 0) {
    Current->Mistakes++;
    return nullptr;
  }
  return (FakeFile *)This;
}

void EndFile(FakeFile *File) {
  Current->LiveFiles.erase(File);
  delete File;
}

EFI_FILE_PROTOCOL *NewFile(const std::u16string &Path, bool Writable);

EFI_STATUS EFIAPI FakeFileOpen(EFI_FILE_PROTOCOL *This, EFI_FILE_PROTOCOL **NewHandle, CHAR16 *FileName,
                               UINT64 OpenMode, UINT64 Attributes) {
  int Call = ++Current->FileOpenCalls;
  *NewHandle = (EFI_FILE_PROTOCOL *)Poison;
  FakeFile *Folder = LiveFile(This);
  std::u16string Path = FileName;
  Current->FileCalls.push_back("open " + Narrow(Path) + " " + std::to_string(OpenMode & 3) +
                               (OpenMode & EFI_FILE_MODE_CREATE ? "c" : ""));
  const UINT64 Read = EFI_FILE_MODE_READ, Write = Read | EFI_FILE_MODE_WRITE, Create = Write | EFI_FILE_MODE_CREATE;
  if (Folder == nullptr || !Folder->Path.empty() || Attributes != 0 ||
      (OpenMode != Read && OpenMode != Write && OpenMode != Create)) {
    Current->Mistakes += Folder != nullptr;
    return EFI_INVALID_PARAMETER;
  }
  if (Call == Current->FailFileOpenCall) {
    return EFI_DEVICE_ERROR;
  }
  if (Path.empty() || Path[0] != u'\\') {
    Path = u"\\" + Path;
  }
  bool Writing = OpenMode != Read;
  if (Writing && Current->ReadOnlyVolume) {
    return EFI_WRITE_PROTECTED;
  }
  if (Current->Files.count(Path) == 0) {
    size_t Cut = Path.rfind(u'\\');
    if (!(OpenMode & EFI_FILE_MODE_CREATE) || Current->Folders.count(Cut == 0 ? u"\\" : Path.substr(0, Cut)) == 0) {
      return EFI_NOT_FOUND;
    }
    Current->Files[Path] = "";
  }
  *NewHandle = NewFile(Path, Writing);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeFileClose(EFI_FILE_PROTOCOL *This) {
  FakeFile *File = LiveFile(This);
  if (File == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  Current->FileCalls.push_back("close");
  bool Fails = Current->FailFileClose && !File->Path.empty();
  // The handle is gone whatever the status says.
  EndFile(File);
  return Fails ? EFI_DEVICE_ERROR : EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeFileDelete(EFI_FILE_PROTOCOL *This) {
  FakeFile *File = LiveFile(This);
  if (File == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  Current->FileCalls.push_back("delete");
  std::u16string Path = File->Path;
  bool Writable = File->Writable;
  EndFile(File);
  if (Path.empty() || !Writable || Current->DeleteWarns) {
    Current->Mistakes += Path.empty();
    return EFI_WARN_DELETE_FAILURE;
  }
  Current->Files.erase(Path);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeFileRead(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer) {
  FakeFile *File = LiveFile(This);
  if (File == nullptr || File->Path.empty()) {
    return EFI_INVALID_PARAMETER;
  }
  Current->FileCalls.push_back("read");
  if (Current->FailRead) {
    return EFI_DEVICE_ERROR;
  }
  const std::string &Content = Current->Files[File->Path];
  size_t Size = std::min((size_t)*BufferSize, Content.size() - std::min(File->Position, Content.size()));
  memcpy(Buffer, Content.data() + File->Position, Size);
  File->Position += Size;
  *BufferSize = Size;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeFileWrite(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer) {
  FakeFile *File = LiveFile(This);
  if (File == nullptr || File->Path.empty()) {
    return EFI_INVALID_PARAMETER;
  }
  int Call = ++Current->WriteCalls;
  Current->FileCalls.push_back("write " + std::to_string(*BufferSize));
  if (!File->Writable) {
    return EFI_ACCESS_DENIED;
  }
  if (Call == Current->FailWriteCall) {
    *BufferSize = 0;
    return EFI_DEVICE_ERROR;
  }
  size_t Size = std::min((size_t)*BufferSize, Current->VolumeFree);
  if (Current->ShortWrite && Size > 0) {
    Size--;
  }
  std::string &Content = Current->Files[File->Path];
  Content.resize(std::max(Content.size(), File->Position + Size));
  memcpy(&Content[File->Position], Buffer, Size);
  File->Position += Size;
  Current->VolumeFree -= Current->VolumeFree == (size_t)-1 ? 0 : Size;
  bool Full = Size < *BufferSize && !Current->ShortWrite;
  *BufferSize = Size;
  return Full ? EFI_VOLUME_FULL : EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeFileFlush(EFI_FILE_PROTOCOL *This) {
  FakeFile *File = LiveFile(This);
  if (File == nullptr || !File->Writable) {
    Current->Mistakes += File != nullptr;
    return EFI_ACCESS_DENIED;
  }
  Current->FileCalls.push_back("flush");
  return Current->FailFlush ? EFI_DEVICE_ERROR : EFI_SUCCESS;
}

EFI_FILE_PROTOCOL *NewFile(const std::u16string &Path, bool Writable) {
  FakeFile *File = new FakeFile{{}, Path, Writable, 0};
  File->Protocol.Revision = 0x00010000;
  File->Protocol.Open = FakeFileOpen;
  File->Protocol.Close = FakeFileClose;
  File->Protocol.Delete = FakeFileDelete;
  File->Protocol.Read = FakeFileRead;
  File->Protocol.Write = FakeFileWrite;
  File->Protocol.Flush = FakeFileFlush;
  Current->LiveFiles.insert(File);
  return &File->Protocol;
}

EFI_STATUS EFIAPI FakeOpenVolume(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This, EFI_FILE_PROTOCOL **Root) {
  Current->Mistakes += This != &Current->FileSystem;
  Current->FileCalls.push_back("volume");
  if (Current->FailOpenVolume) {
    *Root = (EFI_FILE_PROTOCOL *)Poison;
    return EFI_DEVICE_ERROR;
  }
  *Root = NewFile(u"", false);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeReadKeyStroke(EFI_SIMPLE_TEXT_INPUT_PROTOCOL *This, EFI_INPUT_KEY *Key) {
  Current->Mistakes += This != &Current->Input;
  if (Current->KeysPending == 0) {
    Current->SignalsPending = 0;
    return EFI_NOT_READY;
  }
  Current->KeysPending--;
  Current->KeysRead++;
  Key->ScanCode = 0;
  Key->UnicodeChar = u' ';
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeCreateEvent(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                                  VOID *NotifyContext, EFI_EVENT *Event) {
  Current->Mistakes += Type != EVT_TIMER || NotifyFunction != nullptr || NotifyContext != nullptr ||
                       (NotifyTpl != TPL_APPLICATION && NotifyTpl != TPL_CALLBACK);
  if (Current->FailCreateEvent) {
    *Event = Poison;
    return EFI_OUT_OF_RESOURCES;
  }
  *Event = malloc(1);
  Current->LiveEvents.insert(*Event);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeSetTimer(EFI_EVENT Event, EFI_TIMER_DELAY Type, UINT64 TriggerTime) {
  Current->Mistakes += Current->LiveEvents.count(Event) == 0;
  Current->Timers.push_back({(int)Type, TriggerTime});
  return Current->FailSetTimer ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeCloseEvent(EFI_EVENT Event) {
  if (Current->LiveEvents.erase(Event) == 0) {
    Current->Mistakes++;
    return EFI_INVALID_PARAMETER;
  }
  free(Event);
  return EFI_SUCCESS;
}

// Time passes only here. A key event is signalled while a key waits; a
// periodic timer is signalled once a second has gone by, which it has
// whenever no key came first. With nothing that could ever come, the wait
// would last for ever: a misuse, refused.
EFI_STATUS EFIAPI FakeWaitForEvent(UINTN NumberOfEvents, EFI_EVENT *Event, UINTN *Index) {
  int Call = ++Current->WaitCalls;
  if (Call == Current->FailWaitCall) {
    return EFI_DEVICE_ERROR;
  }
  UINTN KeyAt = NumberOfEvents, TimerAt = NumberOfEvents;
  for (UINTN At = 0; At < NumberOfEvents; At++) {
    if (Event[At] == Current->Input.WaitForKey) {
      KeyAt = At;
    } else if (Current->LiveEvents.count(Event[At]) != 0 && !Current->Timers.empty() &&
               Current->Timers.back().first == TimerPeriodic) {
      TimerAt = At;
    } else {
      Current->Mistakes++;
      return EFI_INVALID_PARAMETER;
    }
  }
  if (KeyAt < NumberOfEvents && Current->EmptyKeySignals > 0) {
    Current->EmptyKeySignals--;
    *Index = KeyAt;
    return EFI_SUCCESS;
  }
  if (Call == Current->KeyAtWait || (TimerAt == NumberOfEvents && Current->KeyAtWait > Call)) {
    Current->KeysPending++;
  }
  if (KeyAt < NumberOfEvents && Current->KeysPending > 0) {
    *Index = KeyAt;
    return EFI_SUCCESS;
  }
  if (TimerAt < NumberOfEvents) {
    Current->TimerTicks++;
    *Index = TimerAt;
    return EFI_SUCCESS;
  }
  Current->Mistakes++;
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI FakeSetWatchdogTimer(UINTN Timeout, UINT64 WatchdogCode, UINTN DataSize, CHAR16 *WatchdogData) {
  Current->Mistakes += WatchdogCode != 0 || DataSize != 0 || WatchdogData != nullptr;
  Current->Watchdog.push_back(Timeout);
  return Current->FailWatchdog ? EFI_UNSUPPORTED : EFI_SUCCESS;
}

// ---------------------------------------------------------------------------
// Disks: Block I/O devices, the device-path search that finds them, and the
// CRC32 service.

// The handle whose device path is the longest run of whole nodes at the
// start of *DevicePath, as UEFI's LocateDevicePath finds it.
EFI_STATUS EFIAPI FakeLocateDevicePath(CONST EFI_GUID *Protocol, EFI_DEVICE_PATH_PROTOCOL **DevicePath,
                                       EFI_HANDLE *Device) {
  const UINT8 *Path = (const UINT8 *)*DevicePath;
  size_t Length = 0;
  std::vector<size_t> Boundaries = {0};
  // The application hands over a path of its own making: sound nodes and an
  // end node. Anything else is a mistake.
  for (int Nodes = 0; Path[Length] != 0x7F; Nodes++) {
    UINT16 NodeLength = (UINT16)(Path[Length + 2] | Path[Length + 3] << 8);
    if (NodeLength < 4 || Nodes == 256) {
      Current->Mistakes++;
      return EFI_INVALID_PARAMETER;
    }
    Length += NodeLength;
    Boundaries.push_back(Length);
  }
  Current->LocatedPaths.emplace_back(Path, Path + Length + 4);
  if (!SameGuid(*Protocol, TestBlockIoGuid)) {
    Current->Mistakes++;
    return EFI_NOT_FOUND;
  }
  if (Current->FailLocateDevicePath) {
    return EFI_NOT_FOUND;
  }
  FakeBlockDevice *Found = nullptr;
  for (auto &Candidate : Current->BlockDevices) {
    const std::vector<UINT8> &Own = Candidate->Path;
    if (std::find(Boundaries.begin(), Boundaries.end(), Own.size()) != Boundaries.end() &&
        std::equal(Own.begin(), Own.end(), Path) && (Found == nullptr || Own.size() > Found->Path.size())) {
      Found = Candidate.get();
    }
  }
  if (Found == nullptr) {
    return EFI_NOT_FOUND;
  }
  *DevicePath = (EFI_DEVICE_PATH_PROTOCOL *)(Path + Found->Path.size());
  *Device = Found->Handle();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeReadBlocks(EFI_BLOCK_IO_PROTOCOL *This, UINT32 MediaId, EFI_LBA Lba, UINTN BufferSize,
                                 VOID *Buffer) {
  Current->Reads.push_back({Lba, BufferSize});
  FakeBlockDevice *Device = nullptr;
  for (auto &Candidate : Current->BlockDevices) {
    Device = &Candidate->Protocol == This ? Candidate.get() : Device;
  }
  // A read the device refuses is the caller's mistake: the application
  // reads with the media id it was told, whole blocks, within the disk and
  // at the alignment asked for.
  const EFI_BLOCK_IO_MEDIA &Media = Device->Media;
  UINTN Align = Media.IoAlign > 1 ? Media.IoAlign : 1;
  if (Media.BlockSize == 0 || MediaId != Media.MediaId || Buffer == nullptr || BufferSize == 0 ||
      BufferSize % Media.BlockSize != 0 || (UINTN)Buffer % Align != 0 || Lba > Media.LastBlock ||
      BufferSize / Media.BlockSize - 1 > Media.LastBlock - Lba) {
    Current->Mistakes++;
    return EFI_INVALID_PARAMETER;
  }
  if ((int)Current->Reads.size() == Current->FailReadCall) {
    // Whatever the buffer holds now must not be taken for the disk's.
    memset(Buffer, 0xA5, BufferSize);
    return Current->ReadStatus;
  }
  const std::vector<UINT8> &Bytes = *Device->Bytes;
  UINT64 At = Device->FirstByte + Lba * Media.BlockSize;
  UINT64 Held = At < Bytes.size() ? std::min<UINT64>(Bytes.size() - At, BufferSize) : 0;
  if (Held != 0) {
    memcpy(Buffer, Bytes.data() + At, Held);
  }
  memset((UINT8 *)Buffer + Held, 0, BufferSize - Held);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeCalculateCrc32(VOID *Data, UINTN DataSize, UINT32 *Crc32) {
  int Call = ++Current->CrcCalls;
  if (Data == nullptr || DataSize == 0 || Crc32 == nullptr) {
    Current->Mistakes++;
    return EFI_INVALID_PARAMETER;
  }
  if (Call == Current->FailCrcCall) {
    *Crc32 = 0xDEADDEAD;
    return EFI_INVALID_PARAMETER;
  }
  *Crc32 = TestCrc32(Data, DataSize);
  return EFI_SUCCESS;
}

}  // namespace

FakeBlockDevice &FakeFirmware::AddBlockDevice(const std::vector<UINT8> &DevicePath,
                                              std::shared_ptr<std::vector<UINT8>> Bytes, UINT32 BlockSize,
                                              EFI_LBA LastBlock, UINT64 FirstByte) {
  BlockDevices.push_back(std::make_unique<FakeBlockDevice>());
  FakeBlockDevice &Device = *BlockDevices.back();
  Device.Path = DevicePath;
  Device.Bytes = std::move(Bytes);
  Device.FirstByte = FirstByte;
  Device.Media.MediaId = 0x4D31;
  Device.Media.MediaPresent = TRUE;
  Device.Media.LogicalPartition = FirstByte != 0;
  Device.Media.BlockSize = BlockSize;
  Device.Media.LastBlock = LastBlock;
  Device.Protocol.Revision = 0x00010000;
  Device.Protocol.Media = &Device.Media;
  Device.Protocol.ReadBlocks = FakeReadBlocks;
  return Device;
}

FakeFirmware::FakeFirmware() {
  Current = this;
  LoadedImage.DeviceHandle = DeviceHandle();
  DevicePathToText.ConvertDevicePathToText = FakeConvertDevicePathToText;
  Console.OutputString = FakeOutputString;
  BootServices.AllocatePool = FakeAllocatePool;
  BootServices.FreePool = FakeFreePool;
  BootServices.OpenProtocol = FakeOpenProtocol;
  BootServices.CloseProtocol = FakeCloseProtocol;
  BootServices.LocateProtocol = FakeLocateProtocol;
  SystemTable.ConOut = &Console;
  SystemTable.BootServices = &BootServices;
  SystemTable.ConIn = &Input;
  // What the options use: the volume, key input, timers and the watchdog.
  FileSystem.Revision = 0x00010000;
  FileSystem.OpenVolume = FakeOpenVolume;
  Input.ReadKeyStroke = FakeReadKeyStroke;
  Input.WaitForKey = &KeyEventTag;
  BootServices.CreateEvent = FakeCreateEvent;
  BootServices.SetTimer = FakeSetTimer;
  BootServices.WaitForEvent = FakeWaitForEvent;
  BootServices.CloseEvent = FakeCloseEvent;
  BootServices.SetWatchdogTimer = FakeSetWatchdogTimer;
  // What quillmere.verify uses: the search for a disk by its path, and CRC32.
  BootServices.LocateDevicePath = FakeLocateDevicePath;
  BootServices.CalculateCrc32 = FakeCalculateCrc32;
}

FakeFirmware::~FakeFirmware() {
  for (void *Block : Live) {
    free(Block);
  }
  for (void *File : LiveFiles) {
    delete (FakeFile *)File;
  }
  for (EFI_EVENT Event : LiveEvents) {
    free(Event);
  }
  Current = nullptr;
}

void FakeFirmware::SetDevicePath(const std::vector<UINT8> &Bytes) {
  Path.reset(new UINT8[Bytes.size()]);
  std::copy(Bytes.begin(), Bytes.end(), Path.get());
}

void FakeFirmware::SetDevicePathAtPageEnd(const std::vector<UINT8> &Bytes) {
  PathAtPageEnd.reset(new PageEndCopy(Bytes.data(), Bytes.size()));
}

EFI_STATUS FakeFirmware::Run() {
  SystemTable.ConOut = NoConsole ? nullptr : &Console;
  SystemTable.ConIn = NoConsoleInput ? nullptr : &Input;
  KeysPending = KeysTypedAhead;
  return ApplicationEntry(ImageHandle(), &SystemTable);
}

void FakeFirmware::InstallGlobals() {
  AppImageHandle = ImageHandle();
  AppSystemTable = &SystemTable;
  AppBootServices = &BootServices;
}

std::string DescribeLeftovers(const FakeFirmware &Firmware) {
  std::string Leftovers;
  if (!Firmware.Live.empty()) {
    Leftovers += std::to_string(Firmware.Live.size()) + " pool blocks still live; ";
  }
  if (Firmware.Mistakes != 0) {
    Leftovers += std::to_string(Firmware.Mistakes) + " misuses; ";
  }
  for (const OpenRecord &Open : Firmware.Opens) {
    if (Open.Closes != (EFI_ERROR(Open.Status) ? 0 : 1)) {
      Leftovers += "open of protocol " + std::to_string(Open.Protocol.Data1) + " closed " +
                   std::to_string(Open.Closes) + " times; ";
    }
  }
  for (const OpenRecord &Open : Firmware.FileSystemOpens) {
    if (Open.Closes != (EFI_ERROR(Open.Status) ? 0 : 1)) {
      Leftovers += "open of the file system closed " + std::to_string(Open.Closes) + " times; ";
    }
  }
  if (!Firmware.LiveFiles.empty()) {
    Leftovers += std::to_string(Firmware.LiveFiles.size()) + " file handles still open; ";
  }
  if (!Firmware.LiveEvents.empty()) {
    Leftovers += std::to_string(Firmware.LiveEvents.size()) + " events still open; ";
  }
  // Whoever touched the watchdog gives it back armed as the boot manager
  // armed it.
  if (!Firmware.Watchdog.empty() && Firmware.Watchdog.back() != 300) {
    Leftovers += "watchdog left at " + std::to_string(Firmware.Watchdog.back()) + " seconds; ";
  }
  return Leftovers;
}

void ExpectFirmwareLeftClean(const FakeFirmware &Firmware) { EXPECT_EQ(DescribeLeftovers(Firmware), ""); }
