// The device-access library as the program sees it: 24 operations, their records and statuses.
//
// Every operation but WDC_IntIsEnabled and Stat2Str returns a status, 0 on success. A caller
// may rely on what each comment says and on nothing else; the library behind this header may
// serve a virtual board or a real one.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Statuses ------------------------------------------------------------------------------
// Every code below has a plain-English text from Stat2Str. Codes from WDC_STATUS_FAIL_BASE up
// are the failures that the virtual board forces on one library operation each (one code per
// operation, in the order of WdcOperation in wdc/ops.h).
using WdcStatus = uint32_t;

enum : uint32_t {
  WDC_STATUS_SUCCESS = 0,
  WDC_STATUS_NOT_OPEN = 0x20000001,           // the library is not open
  WDC_STATUS_ALREADY_OPEN = 0x20000002,       // WDC_DriverOpen called twice
  WDC_STATUS_INVALID_HANDLE = 0x20000003,     // null, closed or unknown device handle
  WDC_STATUS_INVALID_PARAMETER = 0x20000004,  // null out-pointer, bad option, bad count
  WDC_STATUS_NO_SUCH_DEVICE = 0x20000005,     // no board at that bus location
  WDC_STATUS_DEVICE_BUSY = 0x20000006,        // the board is already open
  WDC_STATUS_BAD_ADDR_SPACE = 0x20000007,     // no such address space on the board
  WDC_STATUS_OUT_OF_RANGE = 0x20000008,       // access outside the address space
  WDC_STATUS_MISALIGNED = 0x20000009,         // access not aligned to its width
  WDC_STATUS_NO_MEMORY = 0x2000000A,          // memory or bus addresses exhausted
  WDC_STATUS_INVALID_DMA_RECORD = 0x2000000B, // null, unlocked or unknown DMA record
  WDC_STATUS_INT_ALREADY_ENABLED = 0x2000000C,
  WDC_STATUS_INT_NOT_ENABLED = 0x2000000D,
  WDC_STATUS_BAD_TRANSFER_LIST = 0x2000000E,  // unknown command or address outside the board
  WDC_STATUS_WRONG_THREAD = 0x2000000F,       // WDC_IntDisable called from the handler
  WDC_STATUS_BAD_SETTING = 0x20000010,        // FPGA_SIM holds an item the board does not know
  WDC_STATUS_RESOURCES_LEFT = 0x20000011,     // WDC_DriverClose found and released leftovers
  // Failures of a real board's backend. Stat2Str gives the cause in words: what the system
  // said (with its errno) and what to do about it.
  WDC_STATUS_NOT_BOUND = 0x20000012,          // the board is not bound to the access driver
  WDC_STATUS_NO_IOMMU = 0x20000013,           // the board has no IOMMU group
  WDC_STATUS_GROUP_NOT_VIABLE = 0x20000014,   // other devices of its IOMMU group hold drivers
  WDC_STATUS_NO_PERMISSION = 0x20000015,      // the board's device files may not be opened
  WDC_STATUS_LOCK_LIMIT = 0x20000016,         // the memory-lock limit is too low for a lock
  WDC_STATUS_SYSTEM_ERROR = 0x20000017,       // any other failure of the operating system
  // Refusals of the program's lock routines: the controller's address and length fields are
  // 32 and 29 bits wide, so such a buffer cannot be described to it.
  WDC_STATUS_BUS_ADDR_ABOVE_4G = 0x20000020,
  WDC_STATUS_LENGTH_TOO_LARGE = 0x20000021,
  WDC_STATUS_NO_PAGES = 0x20000022,
  WDC_STATUS_FAIL_BASE = 0x20001000,
};

// ---- Options and fixed values -------------------------------------------------------------
enum : uint32_t {
  WDC_DRV_OPEN_DEFAULT = 0,
  DMA_OPT_FROM_DEVICE = 0x20,  // the device writes the buffer
  DMA_OPT_TO_DEVICE = 0x40,    // the device reads the buffer
  WDC_SLEEP_BUSY = 0,          // WDC_Sleep option: busy wait
  WDC_PCI_SCAN_MAX = 100,      // entries in a scan result
  WDC_MAX_ADDR_SPACES = 6,     // address spaces (BARs) in a device record
  WDC_MAX_RESOURCES = 8,       // resource items in a device-information record
};

// ---- PCI scan and device information ------------------------------------------------------
struct WdcPciId {
  uint32_t dwVendorId;
  uint32_t dwDeviceId;
};

struct WdcPciSlot {
  uint32_t dwBus;
  uint32_t dwSlot;
  uint32_t dwFunction;
};

// Filled by WDC_PciScanDevices: the matching boards, in bus order.
struct WdcPciScanResult {
  uint32_t dwNumDevices;
  WdcPciId deviceId[WDC_PCI_SCAN_MAX];
  WdcPciSlot deviceSlot[WDC_PCI_SCAN_MAX];
};

enum : uint32_t { WDC_ITEM_MEMORY = 1, WDC_ITEM_INTERRUPT = 2 };

struct WdcResourceItem {
  uint32_t dwKind;      // WDC_ITEM_MEMORY or WDC_ITEM_INTERRUPT
  uint32_t dwBar;       // memory: the address space it backs
  uint64_t qwPhysAddr;  // memory: bus-side base address
  uint64_t qwBytes;     // memory: length
  uint32_t dwIrq;       // interrupt: the line or vector
};

// The caller sets pciSlot (the rest zeroed); WDC_PciGetDeviceInfo fills in the resources.
struct WdcPciDeviceInfo {
  WdcPciSlot pciSlot;
  uint32_t dwNumItems;
  WdcResourceItem item[WDC_MAX_RESOURCES];
};

// ---- Device record --------------------------------------------------------------------------
struct WdcAddrSpace {
  uint32_t dwKernelAddr;  // kernel-mapped base (32-bit): what a transfer list addresses
  uint64_t qwBytes;       // length; 0 when the board has no such address space
};

// The record behind a device handle, valid from WDC_PciDeviceOpen to WDC_PciDeviceClose.
struct WdcDevice {
  WdcPciSlot slot;
  uint32_t dwNumAddrSpaces;
  WdcAddrSpace addrSpace[WDC_MAX_ADDR_SPACES];
  uint32_t hKernelPlugIn;  // 0: no kernel plug-in serves the device
};
using WdcDeviceHandle = WdcDevice*;

// ---- DMA record -----------------------------------------------------------------------------
struct WdcDmaPage {
  uint64_t pPhysicalAddr;  // bus address of the page's first byte
  uint32_t dwBytes;        // byte length of the page
};

// Owned by the library from the lock to the unlock. A contiguous buffer has one page whose bus
// address is that of the whole buffer; a scatter/gather buffer lists its pages in order.
struct WdcDmaRecord {
  void* pUserAddr;   // host address of the buffer's first byte
  uint32_t dwBytes;  // total length
  uint32_t dwOptions;
  uint32_t dwPages;
  WdcDmaPage* Page;  // dwPages entries
};

// ---- Interrupt transfer list ----------------------------------------------------------------
// One command the library runs, in kernel context, on every interrupt of the board.
struct WdcTransferCmd {
  uint32_t dwAddr;       // kernel address to read (WDC_TRANS_READ_DWORD)
  uint32_t cmdTrans;     // command code
  uint32_t dwParams[4];  // further parameters: zero
  uint32_t dwData;       // data word: the mask of WDC_TRANS_MASK
  uint32_t dwReserved;   // zero
};
static_assert(sizeof(WdcTransferCmd) == 32, "a transfer command is 32 bytes");
static_assert(offsetof(WdcTransferCmd, dwAddr) == 0, "address at byte 0");
static_assert(offsetof(WdcTransferCmd, cmdTrans) == 4, "command code at byte 4");
static_assert(offsetof(WdcTransferCmd, dwParams) == 8, "parameters at bytes 8 to 23");
static_assert(offsetof(WdcTransferCmd, dwData) == 24, "data word at byte 24");
static_assert(offsetof(WdcTransferCmd, dwReserved) == 28, "reserved bytes 28 to 31");

enum : uint32_t {
  WDC_TRANS_MASK = 2,         // AND the last value read with dwData; non-zero calls the handler
  WDC_TRANS_READ_DWORD = 32,  // read the 32-bit word at dwAddr
};

using WdcIntHandler = void (*)(void* data);

// ---- Operations -----------------------------------------------------------------------------
// Opens the library; must succeed before any other call. Reads the library's settings
// (FPGA_WDC) and the backend's (FPGA_SIM on the virtual board).
WdcStatus WDC_DriverOpen(uint32_t openOptions);
// Closes the library: the last call. Releases whatever was left held and then reports it.
WdcStatus WDC_DriverClose(void);
// Fills *result with the boards whose IDs match.
WdcStatus WDC_PciScanDevices(uint32_t vendorId, uint32_t deviceId, WdcPciScanResult* result);
// Fills in the resources of the board at info->pciSlot.
WdcStatus WDC_PciGetDeviceInfo(WdcPciDeviceInfo* info);
// Opens the board of *info; *phDev is valid until WDC_PciDeviceClose. The four trailing
// arguments are reserved and must be null.
WdcStatus WDC_PciDeviceOpen(WdcDeviceHandle* phDev, const WdcPciDeviceInfo* info, const void* ctx,
                            void* reserved, const char* kpName, void* kpOpenData);
WdcStatus WDC_PciDeviceClose(WdcDeviceHandle hDev);

// One naturally aligned access of the given width at a byte offset of an address space.
WdcStatus WDC_ReadAddr8(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset, uint8_t* val);
WdcStatus WDC_ReadAddr16(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset, uint16_t* val);
WdcStatus WDC_ReadAddr32(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset, uint32_t* val);
WdcStatus WDC_ReadAddr64(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset, uint64_t* val);
WdcStatus WDC_WriteAddr8(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset, uint8_t val);
WdcStatus WDC_WriteAddr16(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset, uint16_t val);
WdcStatus WDC_WriteAddr32(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset, uint32_t val);
WdcStatus WDC_WriteAddr64(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset, uint64_t val);

// Allocates a buffer contiguous in bus address space; *ppBuf gets its host address.
WdcStatus WDC_DMAContigBufLock(WdcDeviceHandle hDev, void** ppBuf, uint32_t options, uint32_t size,
                               WdcDmaRecord** ppDma);
// Pins the caller's buffer and lists its pages, split at 4 KiB page boundaries.
WdcStatus WDC_DMASGBufLock(WdcDeviceHandle hDev, void* pBuf, uint32_t options, uint32_t size,
                           WdcDmaRecord** ppDma);
// Releases a locked buffer (and frees a contiguous one). The record is gone afterwards.
WdcStatus WDC_DMABufUnlock(WdcDmaRecord* pDma);
// Makes host writes to the buffer visible to the device.
WdcStatus WDC_DMASyncCpu(WdcDmaRecord* pDma);
// Makes the device's writes to the buffer visible to the host.
WdcStatus WDC_DMASyncIo(WdcDmaRecord* pDma);

// Runs cmds on every interrupt of the board, on a thread of the library, and calls
// handler(data) there when the list's masked value is non-zero.
WdcStatus WDC_IntEnable(WdcDeviceHandle hDev, WdcTransferCmd* cmds, uint32_t numCmds,
                        uint32_t options, WdcIntHandler handler, void* data, uint32_t useKP);
// Non-zero while the interrupt is enabled (no status).
int WDC_IntIsEnabled(WdcDeviceHandle hDev);
// Returns once the handler can no longer be called.
WdcStatus WDC_IntDisable(WdcDeviceHandle hDev);
// Busy-waits the given number of microseconds.
WdcStatus WDC_Sleep(uint32_t microseconds, uint32_t options);
// The text of a status (no status).
const char* Stat2Str(WdcStatus status);
