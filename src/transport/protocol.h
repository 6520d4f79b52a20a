// What the tool and a BMC agree on: the requests, the completion codes and
// answer values that mean something of their own, the sizes of what travels,
// and the update package's markers. The tool, the simulated BMC, korvex-pack
// and the tests take them from here, so that no two copies can drift apart.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvex {

// NetFns, and the NetFn/LUN bytes of the requests the tool sends (LUN is always 0).
inline constexpr uint8_t kNetFnApp = 0x06;
inline constexpr uint8_t kNetFnOem = 0x3E;
inline constexpr uint8_t kNetFnLunApp = kNetFnApp << 2;  // 0x18
inline constexpr uint8_t kNetFnLunOem = kNetFnOem << 2;  // 0xF8

// App requests: the tool sends Cold Reset; the others are what every BMC
// answers and what a host's IPMI driver asks when it starts.
inline constexpr uint8_t kCmdGetDeviceId = 0x01;
inline constexpr uint8_t kCmdColdReset = 0x02;
inline constexpr uint8_t kCmdSetBmcGlobalEnables = 0x2E;
inline constexpr uint8_t kCmdGetBmcGlobalEnables = 0x2F;
inline constexpr uint8_t kCmdClearMessageFlags = 0x30;
inline constexpr uint8_t kCmdGetMessageFlags = 0x31;

// OEM requests of the firmware update.
inline constexpr uint8_t kCmdUsbUpdateInfo = 0x0D;  // the update-info request of the USB path
inline constexpr uint8_t kCmdSendBlockInfo = 0x14;
inline constexpr uint8_t kCmdReceiveFWData = 0x15;
inline constexpr uint8_t kCmdGetFWUpdateInfo = 0x16;
inline constexpr uint8_t kCmdGetFWUpdateProgress = 0x17;
// OEM requests of the flash dump.
inline constexpr uint8_t kCmdPrepareDumpFlash = 0x1D;
inline constexpr uint8_t kCmdCheckDumpFlashComplete = 0x1E;
inline constexpr uint8_t kCmdGetDumpFlashData = 0x1F;
// The OEM request that carries the configuration transfer.
inline constexpr uint8_t kCmdConfigTransfer = 0x20;

// Completion codes.
inline constexpr uint8_t kCcSuccess = 0x00;
inline constexpr uint8_t kCcNodeBusy = 0xC0;
inline constexpr uint8_t kCcInvalidCommand = 0xC1;  // to an update-info request: taken as update state 1
inline constexpr uint8_t kCcBadLength = 0xC7;
inline constexpr uint8_t kCcInvalidDataField = 0xCC;
inline constexpr uint8_t kCcRejected = 0xCD;  // to the last chunk of a part: the package is refused, a verdict says why
inline constexpr uint8_t kCcBmcNotReady = 0xD2;
inline constexpr uint8_t kCcAnotherUser = 0xDF;  // to GetFWUpdateInfo: someone else is updating the BMC

// The BMC's flash. The USB update path takes packages of exactly this size.
inline constexpr uint64_t kFlashSize = 0x2000000;  // 32 MiB

// The firmware update.
inline constexpr uint8_t kUpdateStateReady = 2;  // the only update state that lets a package through
inline constexpr size_t kBlockInfoSize = 14;     // sendBlockInfo's record
inline constexpr size_t kChunkData = 49;         // package bytes in a full ReceiveFWData chunk
inline constexpr uint8_t kLastChunk = 1;         // the chunk's flag byte: the part's last chunk
inline constexpr uint8_t kVerdictVerification = 1;
inline constexpr uint8_t kVerdictDowngrade = 2;
inline constexpr uint8_t kProgressDone = 100;

// The flash dump.
inline constexpr uint8_t kDumpReady = 1;      // readiness byte; any other value: not yet
inline constexpr size_t kDumpPieceSize = 56;  // flash bytes in a piece whose last flag is 0

// The configuration transfer. Operations in bits 3..0 of a request's control
// byte (the task id goes in bits 7..4).
inline constexpr uint8_t kOpStartBackup = 0;
inline constexpr uint8_t kOpStartRestore = 1;
inline constexpr uint8_t kOpStatus = 2;
inline constexpr uint8_t kOpBlock = 3;  // also the finish request, without a sequence number
inline constexpr uint8_t kOpReset = 6;
// Task states, bits 3..1 of an answer's status byte.
inline constexpr uint8_t kTaskReset = 0;
inline constexpr uint8_t kTaskStarted = 1;
inline constexpr uint8_t kTaskReady = 2;
inline constexpr uint8_t kTaskBackupDelivered = 4;
inline constexpr uint8_t kTaskFailState = 5;
inline constexpr uint64_t kSequenceMask = 0xFFFFFF;  // block numbers count modulo 2^24
inline constexpr size_t kRestoreBlockData = 45;      // file bytes in a restore block

// The update package: the signature before the unique file name, and the
// image footer's entry marker and end mark.
inline constexpr char kPackageSignature[] = "ZYLOs_FW";
inline constexpr char kFooterEntryMarker[] = "[img]: ";
inline constexpr char kFooterEndMark[] = "[end]";

}  // namespace korvex
