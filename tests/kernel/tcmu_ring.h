/* The command ring of a TCM user-space backstore, as its UIO device maps it.
 * Written in C: the kernel's header for this ring is C and does not compile as C++. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What kind of entry lies at an offset of the ring. */
enum { kTcmuPad = 0, kTcmuCommand = 1, kTcmuTaskManagement = 2 };

uint32_t tcmu_ring_tail(uint8_t* base);
uint32_t tcmu_ring_head(uint8_t* base);
/* The entry after the one at offset. */
uint32_t tcmu_ring_after(uint8_t* base, uint32_t offset);
/* Hands the entries before tail back to the kernel. */
void tcmu_ring_set_tail(uint8_t* base, uint32_t tail);
/* Whether the kernel takes the length of data a command really returned. */
int tcmu_ring_reports_length(uint8_t* base);

int tcmu_entry_kind(uint8_t* base, uint32_t offset);
const uint8_t* tcmu_entry_cdb(uint8_t* base, uint32_t offset);
uint32_t tcmu_entry_pieces(uint8_t* base, uint32_t offset);
/* Piece index of the data: where it lies in the mapped area, and its length. */
void tcmu_entry_piece(uint8_t* base, uint32_t offset, uint32_t index, uint64_t* at, uint64_t* length);
/* The answer, in the place of the request: status, sense data, and (when
 * returned is not negative and the ring takes it) the bytes returned. */
void tcmu_entry_answer(uint8_t* base, uint32_t offset, uint8_t status, const uint8_t* sense,
                       uint32_t senseLength, int64_t returned);

#ifdef __cplusplus
}
#endif
