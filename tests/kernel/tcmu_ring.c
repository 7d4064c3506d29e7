/* The command ring of a TCM user-space backstore (linux/target_core_user.h). */
#include "tcmu_ring.h"

#include <linux/target_core_user.h>
#include <string.h>

static struct tcmu_mailbox* mailbox(uint8_t* base) {
  return (struct tcmu_mailbox*)base;
}

static struct tcmu_cmd_entry* entry(uint8_t* base, uint32_t offset) {
  return (struct tcmu_cmd_entry*)(base + mailbox(base)->cmdr_off + offset);
}

uint32_t tcmu_ring_tail(uint8_t* base) {
  return __atomic_load_n(&mailbox(base)->cmd_tail, __ATOMIC_ACQUIRE);
}

uint32_t tcmu_ring_head(uint8_t* base) {
  return __atomic_load_n(&mailbox(base)->cmd_head, __ATOMIC_ACQUIRE);
}

uint32_t tcmu_ring_after(uint8_t* base, uint32_t offset) {
  return (offset + tcmu_hdr_get_len(entry(base, offset)->hdr.len_op)) % mailbox(base)->cmdr_size;
}

void tcmu_ring_set_tail(uint8_t* base, uint32_t tail) {
  __atomic_store_n(&mailbox(base)->cmd_tail, tail, __ATOMIC_RELEASE);
}

int tcmu_ring_reports_length(uint8_t* base) {
  return (mailbox(base)->flags & TCMU_MAILBOX_FLAG_CAP_READ_LEN) != 0;
}

int tcmu_entry_kind(uint8_t* base, uint32_t offset) {
  return (int)tcmu_hdr_get_op(entry(base, offset)->hdr.len_op);
}

const uint8_t* tcmu_entry_cdb(uint8_t* base, uint32_t offset) {
  return base + entry(base, offset)->req.cdb_off;
}

uint32_t tcmu_entry_pieces(uint8_t* base, uint32_t offset) {
  return entry(base, offset)->req.iov_cnt;
}

void tcmu_entry_piece(uint8_t* base, uint32_t offset, uint32_t index, uint64_t* at, uint64_t* length) {
  struct iovec piece;
  memcpy(&piece, &entry(base, offset)->req.iov[index], sizeof piece);
  *at = (uint64_t)(uintptr_t)piece.iov_base; /* an offset into the mapped area */
  *length = piece.iov_len;
}

void tcmu_entry_answer(uint8_t* base, uint32_t offset, uint8_t status, const uint8_t* sense,
                       uint32_t senseLength, int64_t returned) {
  struct tcmu_cmd_entry* e = entry(base, offset);
  memset(&e->rsp, 0, sizeof e->rsp);
  e->rsp.scsi_status = status;
  memcpy(e->rsp.sense_buffer, sense,
         senseLength < TCMU_SENSE_BUFFERSIZE ? senseLength : TCMU_SENSE_BUFFERSIZE);
  if (returned >= 0 && tcmu_ring_reports_length(base)) {
    e->hdr.uflags |= TCMU_UFLAG_READ_LEN;
    e->rsp.read_len = (uint32_t)returned;
  }
}
