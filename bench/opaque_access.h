// The floor of a library BAR access: a call the compiler cannot inline (another translation
// unit, noinline) that makes the same volatile access to the same memory.
#pragma once

#include <cstdint>

uint32_t OpaqueRead32(volatile uint8_t* base, uint64_t offset);
void OpaqueWrite32(volatile uint8_t* base, uint64_t offset, uint32_t value);
uint8_t OpaqueRead8(volatile uint8_t* base, uint64_t offset);
void OpaqueWrite8(volatile uint8_t* base, uint64_t offset, uint8_t value);
