// Flashwright scan-engine flash protocol: the engine catalogue, the byte
// protocol spoken with the engine's boot code and flash driver, the firmware
// file header and board check, and the routine that runs one whole upgrade.
//
// Result codes of every protocol operation: PROTO_SUCCESS (1), PROTO_FAILURE
// (0), PROTO_BOARD_NOT_SUPPORTED (2), PROTO_ARGUMENT_MISSING (4),
// PROTO_LINK_FAILED (5).
#pragma once

#include <cstdint>

#include "platform.h"

// ---------------------------------------------------------------------------
// Wire vocabulary. ACK (0x06, host to engine) comes from transport.h.

constexpr uint8_t AUTODETECT_BYTE = 0x00;  // host -> engine: identify yourself
constexpr uint8_t RSP_DONE = 0x31;         // engine -> host: command carried out
constexpr uint8_t RSP_ACK = 0x32;          // engine -> host: frame and checksum intact
constexpr uint8_t CHK_REQ = 0x7F;          // engine -> host: send the driver block's checksum
constexpr uint8_t BLOCK_REQ = 0x80;        // engine -> host: driver block wanted, number follows
constexpr uint8_t DWNLD_RSP = 0x88;        // engine -> host: ready to take a flash driver
constexpr uint8_t START_DWNLD = 0xAA;      // host -> engine: start a flash-driver download
constexpr uint8_t DWNLD_DONE = 0xBB;       // engine -> host: whole flash driver received

// Command frame opcodes (frame byte 1).
constexpr uint8_t CMD_ACK_MODE = 0x10;
constexpr uint8_t CMD_FLASH_INIT = 0x11;
constexpr uint8_t CMD_REMOVE_DRIVER = 0x12;
constexpr uint8_t CMD_FIRMWARE_VERSION = 0x13;
constexpr uint8_t CMD_ERASE_ALL = 0x14;
constexpr uint8_t CMD_WRITE_BLOCK = 0x16;

constexpr int CMD_FRAME_SIZE = 10;           // every command frame
constexpr int FLASH_BLOCK_SIZE = 256;        // driver blocks and image blocks
constexpr uint32_t PROTO_PAUSE_MS = 3000;    // after a failed engine reply
constexpr uint32_t LINK_DETECT_TIMEOUT_MS = 1000;
constexpr int LINK_DETECT_ATTEMPTS = 6;
constexpr int ERASE_MAX_WAITS = 150;
constexpr int FLASH_VERSION_MAX = 128;       // flash driver version text, NUL included
constexpr int BOARD_TABLE_CAPACITY = 100;

// Result codes.
constexpr int PROTO_FAILURE = 0;
constexpr int PROTO_SUCCESS = 1;
constexpr int PROTO_BOARD_NOT_SUPPORTED = 2;
constexpr int PROTO_ARGUMENT_MISSING = 4;
constexpr int PROTO_LINK_FAILED = 5;

// ---------------------------------------------------------------------------
// Status texts for the user interface: the text and twice its length plus one.
// The result is ignored.
using StatusCallback = int (*)(const char* text, uint32_t length, uint32_t length2);

// ---------------------------------------------------------------------------
// Engine catalogue

extern const wchar_t ENGINE_QA71[];
extern const wchar_t ENGINE_QB32[];
extern const wchar_t ENGINE_QC53[];
extern const wchar_t ENGINE_QE86[];
extern const wchar_t ENGINE_QF27[];

struct EngineLinkEntry {
  const wchar_t* name;
  uint8_t autodetect_rsp;  // the boot code's answer to AUTODETECT_BYTE
  uint32_t baud;
  const wchar_t* port;     // with the trailing colon, "COM2:"
};
extern const EngineLinkEntry EngineLinkTable[];
extern const int EngineLinkTableCount;  // 4

using EngineUpgradeRoutine = int (*)(const char* port, uint32_t baud, const char* engine,
                                     const char* scanner_driver, const char* psoc_driver,
                                     const char* psoc_image, const char* scanner_image,
                                     char* psoc_version, char* scanner_version,
                                     int32_t* psoc_version_len, int32_t* scanner_version_len,
                                     StatusCallback callback, plat::Handle port_handle);

struct ScannerTypeEntry {
  int32_t device_type;
  const wchar_t* name;
  EngineUpgradeRoutine upgrade;
};
extern const ScannerTypeEntry ScannerTypeTable[];
extern const int ScannerTypeTableCount;  // 5

// Default link settings: baud and port of the first row whose name equals
// the engine name, ignoring case. False if the engine has no row.
bool FindEngineLink(const wchar_t* engine, uint32_t* baud, const wchar_t** port);
// True if a row pairs this engine name with this autodetect answer.
bool IsAutodetectAccepted(const char* engine, uint8_t response);
// The engine name of the first row with this device type, or nullptr.
const wchar_t* EngineNameForDeviceType(int32_t device_type);
// Rows whose name starts with `engine`, ignoring case, in row order: stores
// up to `capacity` row pointers and returns how many it stored.
int FindUpgradeRows(const wchar_t* engine, const ScannerTypeEntry** rows, int capacity);

// ---------------------------------------------------------------------------
// Command exchange

int transmit_cmd(const uint8_t* frame, int n);
// Position-weighted checksum; 4 when no buffer is given.
uint32_t block_checksum(const uint8_t* data, int n);
void post_status(StatusCallback callback, const char* text, uint32_t n);

void KpxSetTotalBlocks(int32_t total);
void KpxSetCurrentBlock(int32_t index);
int32_t KpxGetTotalBlocks();
int32_t KpxGetCurrentBlock();

// ---------------------------------------------------------------------------
// Link detection, driver download and driver commands

int data_rate_detect(const char* engine_name);

int dwnld_driver_and_init(const char* file, int driver_number, int32_t* flash_size);
int dwnld_flash_driver(const char* file);
int ack_mode_request();
int flash_init(int32_t* flash_size);
int remove_driver();
int firmware_version(uint16_t words[4], char* text, int size);

// ---------------------------------------------------------------------------
// Erase and write

int erase_all(StatusCallback callback);
int write_block(uint16_t n, uint32_t address, const uint8_t* data);
int write_flash_ex(int32_t flash_size, int32_t offset, const char* file, StatusCallback callback);
int dwnld_image_ex(int32_t flash_size, int32_t offset, const char* file, StatusCallback callback);

// ---------------------------------------------------------------------------
// Firmware file and board check

// Magic bytes at the start of a firmware file with a board header.
constexpr uint8_t BIN_FILE_MAGIC[6] = {0x33, 0x05, 0x61, 0x39, 0x98, 0x58};

struct BoardEntry {
  uint16_t scanner_type;
  uint16_t board_id;
};

int GetBinFileInfo(const char* file, BoardEntry* table, int* count, int32_t* offset);
int ValidateBoardId(const BoardEntry* table, int n, uint16_t* board_id);

// ---------------------------------------------------------------------------
// One whole upgrade of an engine whose boot code listens on its port.

int engine_upgrade(const char* port, uint32_t baud, const char* engine,
                   const char* scanner_driver, const char* psoc_driver,
                   const char* psoc_image, const char* scanner_image,
                   char* psoc_version, char* scanner_version,
                   int32_t* psoc_version_len, int32_t* scanner_version_len,
                   StatusCallback callback, plat::Handle port_handle);
