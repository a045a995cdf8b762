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

bool SameGuid(const EFI_GUID &Left, const EFI_GUID &Right) { return memcmp(&Left, &Right, sizeof Left) == 0; }

namespace {

FakeFirmware *Current = nullptr;

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
  EFI_STATUS Status = EFI_UNSUPPORTED;
  *Interface = Poison;
  if (Handle == Current->ImageHandle() && SameGuid(*Protocol, TestLoadedImageGuid) && !Current->FailLoadedImageOpen) {
    *Interface = Current->LoadedImageIsNull ? nullptr : &Current->LoadedImage;
    Status = Current->LoadedImageOpenWarning;
  } else if (Handle == Current->DeviceHandle() && SameGuid(*Protocol, TestDevicePathGuid) &&
             !Current->FailDevicePathOpen) {
    *Interface = Current->DevicePathIsNull ? nullptr : (VOID *)Current->DevicePathBytes();
    Status = Current->DevicePathOpenWarning;
  }
  Current->Opens.push_back({Handle, *Protocol, AgentHandle, ControllerHandle, Attributes, Status, 0});
  return Status;
}

EFI_STATUS EFIAPI FakeCloseProtocol(EFI_HANDLE Handle, CONST EFI_GUID *Protocol, EFI_HANDLE AgentHandle,
                                    EFI_HANDLE ControllerHandle) {
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

}  // namespace

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
}

FakeFirmware::~FakeFirmware() {
  for (void *Block : Live) {
    free(Block);
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
  return Leftovers;
}

void ExpectFirmwareLeftClean(const FakeFirmware &Firmware) { EXPECT_EQ(DescribeLeftovers(Firmware), ""); }
