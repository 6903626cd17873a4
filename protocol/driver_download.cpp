// Flash driver download and the driver's own commands: the boot code takes
// the driver in 256-byte blocks it requests one by one; once started, the
// driver answers command frames.
#include <cstring>
#include <string>

#include "engine_protocol.h"
#include "protocol_internal.h"
#include "trace_log.h"
#include "transport.h"

namespace {

constexpr int DRIVER_BLOCKS_MAX = 255;  // the block count travels as one byte

// A command frame of an opcode without parameters.
void build_frame(uint8_t opcode, uint8_t frame[CMD_FRAME_SIZE]) {
  memset(frame, 0, CMD_FRAME_SIZE);
  frame[1] = opcode;
}

// Sends the frame of a parameterless command, traced with its opcode.
int send_command(uint8_t opcode) {
  uint8_t frame[CMD_FRAME_SIZE];
  build_frame(opcode, frame);
  TraceMsg(true, ZONE_INFO, "cmd{0x%x}\r\n", opcode);
  return transmit_cmd(frame, CMD_FRAME_SIZE);
}

// Opens a file read-only; a name starting with "/" is a host path, any other
// a path on the device.
plat::Handle open_read_only(const char* file) {
  return plat::OpenFile(plat::Widen(file).c_str(), plat::kAccessRead, plat::kShareRead,
                        plat::Disposition::kOpenExisting);
}

// Receives one byte into *last, which keeps the previous byte when nothing
// arrives.
bool receive(uint8_t* last) {
  uint8_t byte = 0;
  if (transport_rx_byte(&byte) != 1) return false;
  *last = byte;
  return true;
}

// Serves the boot code's block requests until it reports the whole driver
// received. *current is the number of the last block request accepted.
bool serve_block_requests(plat::Handle file, int block_count, int* current) {
  uint8_t reply = 0;
  for (;;) {
    const bool arrived = receive(&reply);
    if (!arrived || reply == DWNLD_DONE) {
      TraceMsg(false, ZONE_SUCCESS, "\t<- rsp: 0x%x\r\n", reply);
      return arrived;
    }
    if (reply != BLOCK_REQ) {
      proto_error_report("<- ", "bad block req: 0x%x", reply);
      return false;
    }
    const bool number_arrived = receive(&reply);
    TraceMsg(true, ZONE_INFO, "\t<- block req: 0x%x\r\n", reply);
    if (!number_arrived) {
      proto_error_report("", "Error block request %d", reply);
      return false;
    }
    const int block = reply;
    if (block > block_count) {
      LogResult(true, RESULT_ERRSTR, ZONE_ERROR, "Num blocks requested exceeds actual number if blocks");
      TraceMsg(true, ZONE_ERROR,
               "ERROR: num blocks requested > actual number blocks. bReply=%d, numblocks=%d\r\n", block,
               block_count);
      return false;
    }
    if (block == 0) {
      // Blocks are numbered from 1; there is nothing to send for block 0.
      proto_error_report("<- ", "dwnld_flash_driver - ERROR block 0 requested, blocks count from 1");
      return false;
    }
    *current = block;

    uint8_t buffer[FLASH_BLOCK_SIZE] = {};
    uint32_t got = 0;
    if (!plat::Seek(file, static_cast<int64_t>(block - 1) * FLASH_BLOCK_SIZE, plat::SeekFrom::kBegin) ||
        !plat::Read(file, buffer, FLASH_BLOCK_SIZE, &got) || got != FLASH_BLOCK_SIZE) {
      proto_error_report("", "ERROR file read len: %d did not match block num: %d size: %d",
                         static_cast<int>(got), block, FLASH_BLOCK_SIZE);
      return false;
    }
    if (transport_tx_bytes(buffer, FLASH_BLOCK_SIZE) != 1) {
      proto_error_report("", "Error tx'ing block %d", block);
      return false;
    }
    uint8_t chk_req = 0;
    if (transport_rx_expect(CHK_REQ, &chk_req) != 1) {
      LogResult(true, RESULT_ERRSTR, ZONE_ERROR, "Checksum request error for block number %d", block);
      TraceMsg(true, ZONE_ERROR, "ERROR chk req, err: 0x%x, block:0x%x\r\n", 0, block);
      return false;
    }
    const uint32_t checksum = block_checksum(buffer, FLASH_BLOCK_SIZE);
    if (transport_tx_long(checksum) != 1) {
      TraceMsg(false, ZONE_ERROR, "ERROR tx chk: 0x%x for block num: %d\r\n", checksum, block);
      return false;
    }
  }
}

// Everything of the download between opening and closing the driver file.
bool download_from(plat::Handle file, const char* name, int* current) {
  TraceMsg(true, ZONE_INFO, "Opened %s. Checking file size\r\n", name);
  uint64_t size = 0;
  if (!plat::FileSize(file, &size)) size = 0;
  const uint64_t block_count = size / FLASH_BLOCK_SIZE;
  TraceMsg(true, ZONE_INFO, "\tNum blocks: %llu=filesize: %llu/256\r\n",
           static_cast<unsigned long long>(block_count), static_cast<unsigned long long>(size));
  if (block_count < 1 || block_count > DRIVER_BLOCKS_MAX) {
    proto_error_report("", "Flash size error. filesize: %llu", static_cast<unsigned long long>(size));
    return false;
  }

  TraceMsg(true, ZONE_INFO, "-> start dwnld: 0x%x\r\n", START_DWNLD);
  transport_tx_byte(START_DWNLD);
  uint8_t reply = 0;
  if (transport_rx_expect(DWNLD_RSP, &reply) != 1) {
    LogResult(true, RESULT_ERRSTR, ZONE_ERROR, "Download request response failure.  <-rsp: 0x%x", reply);
    TraceMsg(true, ZONE_ERROR, "<-rsp: 0x%x%s", reply, "\r\n");
    return false;
  }
  transport_tx_byte(static_cast<uint8_t>(block_count));
  TraceMsg(true, ZONE_INFO, "-> num blks: %d\r\n", static_cast<int>(block_count));

  const bool served = serve_block_requests(file, static_cast<int>(block_count), current);
  TraceMsg(true, ZONE_INFO, "Closing flash driver file\r\n");
  return served;
}

}  // namespace

int dwnld_flash_driver(const char* file) {
  if (file == nullptr) return PROTO_ARGUMENT_MISSING;
  int current = 0;
  bool ok = false;
  plat::UniqueHandle handle(open_read_only(file));
  if (!handle.valid()) {
    LogResult(true, RESULT_ERRSTR, ZONE_ERROR, "Cannot open %s", file);
  } else {
    ok = download_from(handle.get(), file, &current);
    handle.reset();
  }
  if (!ok) {
    TraceMsg(true, ZONE_ERROR, "ERROR: error transmitting block:%d\r\n", current);
    return PROTO_FAILURE;
  }
  return PROTO_SUCCESS;
}

int ack_mode_request() {
  if (send_command(CMD_ACK_MODE) != PROTO_SUCCESS) {
    proto_error_report("", "ERROR: rx'ing cmd ack");
    proto_pause();
    return PROTO_FAILURE;
  }
  uint8_t reply = 0;
  const int done = transport_rx_expect(RSP_DONE, &reply);
  TraceMsg(true, ZONE_INFO, "\t<- done: 0x%x\r\n", reply);
  if (done != 1) {
    proto_error_report("", "ERROR: scanner did not respond to ack mode request");
    proto_pause();
    return PROTO_FAILURE;
  }
  TraceMsg(true, ZONE_INFO, "\t-> ack: 0x%x\r\n", ACK);
  return transport_tx_byte(ACK);
}

namespace {

// The exchange of flash_init after the frame went through; false at the
// first failure, with its report made.
bool receive_flash_info(uint32_t* size) {
  transport_tx_byte(ACK);
  TraceMsg(true, ZONE_INFO, "\t-> ack: 0x%x\r\n", ACK);
  if (transport_rx_long_ack(size) != 1) {
    proto_error_report("", "ERROR flash size: %d", static_cast<int>(*size));
    proto_pause();
    return false;
  }
  TraceMsg(true, ZONE_INFO, "\t<- flash size: %d\r\n", static_cast<int>(*size));
  char version[FLASH_VERSION_MAX] = {};
  if (transport_rx_string(version, FLASH_VERSION_MAX) != 1) {
    proto_error_report("", "ERROR: rx'ing version");
    return false;
  }
  TraceMsg(true, ZONE_INFO, "\t<- flash ver: %s max_len: 0x%x\r\n", version, FLASH_VERSION_MAX);
  LogResult(true, RESULT_FLASH_VER, ZONE_INFO, "%s", version);
  return true;
}

}  // namespace

int flash_init(int32_t* flash_size) {
  uint32_t size = 0;  // reported as 0 when the size never arrived
  bool ok = false;
  if (send_command(CMD_FLASH_INIT) != PROTO_SUCCESS) {
    proto_error_report("", "ERROR rsp: 0x%x", 0);
    proto_pause();
  } else {
    ok = receive_flash_info(&size);
  }
  if (flash_size != nullptr) *flash_size = static_cast<int32_t>(size);
  if (!ok) {
    proto_error_report("", "ERROR: flash init failed");
    return PROTO_FAILURE;
  }
  if (size == 0) {
    proto_error_report("", "ERROR: flash size returned from scanner is zero");
    return PROTO_FAILURE;
  }
  return PROTO_SUCCESS;
}

int dwnld_driver_and_init(const char* file, int driver_number, int32_t* flash_size) {
  if (file == nullptr) return PROTO_ARGUMENT_MISSING;
  TraceMsg(true, ZONE_INFO, "dwnld_driver_and_init - entry. drvname=%s, drivernum=%d, entry\r\n", file,
           driver_number);
  int result = dwnld_flash_driver(file);
  if (result == PROTO_SUCCESS) result = ack_mode_request();
  if (result == PROTO_SUCCESS) result = flash_init(flash_size);
  return result;
}

int remove_driver() {
  uint8_t frame[CMD_FRAME_SIZE];
  build_frame(CMD_REMOVE_DRIVER, frame);
  TraceMsg(true, ZONE_INFO, "cmd{0x%x,0x%x}\r\n", frame[0], frame[1]);
  if (transmit_cmd(frame, CMD_FRAME_SIZE) != PROTO_SUCCESS) {
    proto_error_report("<- ", "ERROR remove_driver rsp: 0x%x", 0);
    proto_pause();
    return PROTO_FAILURE;
  }
  uint32_t start_ms = plat::TickCount();
  transport_tx_byte(ACK);
  TraceMsg(true, ZONE_INFO, " \t-> ack: 0x%x(%d)\r\n", ACK, static_cast<int>(plat::TickCount() - start_ms));

  uint8_t reply = 0;
  start_ms = plat::TickCount();
  const int done = transport_rx_expect(RSP_DONE, &reply);
  const int wait_ms = static_cast<int>(plat::TickCount() - start_ms);
  if (done != 1) {
    proto_error_report("<- ", "ERROR remove_driver rsp: 0x%x", reply);
    proto_pause();
    return PROTO_FAILURE;
  }
  TraceMsg(true, ZONE_INFO, "\t<- rsp: 0x%x(%d)\r\n", reply, wait_ms);
  transport_tx_byte(ACK);
  TraceMsg(true, ZONE_INFO, "\t-> ack: 0x%x(%d)\r\n", ACK, wait_ms);
  return PROTO_SUCCESS;
}

int firmware_version(uint16_t words[4], char* text, int size) {
  if (text == nullptr || words == nullptr) return PROTO_ARGUMENT_MISSING;
  if (send_command(CMD_FIRMWARE_VERSION) != PROTO_SUCCESS) return PROTO_FAILURE;

  const uint32_t start_ms = plat::TickCount();
  const int acked = transport_tx_byte(ACK);
  TraceMsg(true, ZONE_INFO, "\t-> ack: 0x%x(%d)\r\n", ACK, static_cast<int>(plat::TickCount() - start_ms));
  if (acked != 1) return PROTO_FAILURE;

  for (int i = 0; i < 4; ++i) {
    if (transport_rx_word_ack(&words[i]) != 1) {
      TraceMsg(true, ZONE_ERROR, "ERROR firmware_version, <- resp\r\n");
      return PROTO_FAILURE;
    }
  }
  const int received = transport_rx_string(text, size);
  // The buffer is left as it was when the text did not arrive: never read
  // beyond its size.
  TraceMsg(true, ZONE_INFO, "\t<- firmware ver: %.*s\r\n", size > 0 ? size : 0, text);
  if (received != 1) {
    proto_error_report("", "ERROR: firmware_version, rxing version");
    return PROTO_FAILURE;
  }
  return PROTO_SUCCESS;
}
