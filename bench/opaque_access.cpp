#include "opaque_access.h"

__attribute__((noinline)) uint32_t OpaqueRead32(volatile uint8_t* base, uint64_t offset) {
  return *reinterpret_cast<volatile uint32_t*>(base + offset);
}

__attribute__((noinline)) void OpaqueWrite32(volatile uint8_t* base, uint64_t offset,
                                             uint32_t value) {
  *reinterpret_cast<volatile uint32_t*>(base + offset) = value;
}

__attribute__((noinline)) uint8_t OpaqueRead8(volatile uint8_t* base, uint64_t offset) {
  return base[offset];
}

__attribute__((noinline)) void OpaqueWrite8(volatile uint8_t* base, uint64_t offset,
                                            uint8_t value) {
  base[offset] = value;
}
