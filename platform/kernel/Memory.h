// Device memory that VirtualCopy can map: register blocks of the board,
// each backed by a shared-memory file so that a mapping really aliases it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kernel {

// Makes `size` bytes at the kernel address `address` mappable; returns the
// block's own view (what the hardware side reads and writes).
volatile uint8_t* RegisterPhysicalBlock(uint32_t address, uint32_t size);
// Number of live VirtualAlloc reservations (for resource-hygiene checks).
size_t ReservationCount();

}  // namespace kernel
