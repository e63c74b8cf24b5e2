#include "ci/uInterfaces.h"

#include <cstdio>
#include <random>

namespace uInterfaces {

std::string TGUID::ToString() const {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(D1), static_cast<unsigned>(D2), static_cast<unsigned>(D3),
                D4[0], D4[1], D4[2], D4[3], D4[4], D4[5], D4[6], D4[7]);
  return buf;
}

TGUID TGUID::NewGuid() {
  // One generator per thread, seeded from the system's random source.
  thread_local std::mt19937_64 engine{[] {
    std::random_device rd;
    std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
    return std::mt19937_64(seq);
  }()};
  const std::uint64_t hi = engine();
  const std::uint64_t lo = engine();
  TGUID g;
  g.D1 = static_cast<std::uint32_t>(hi >> 32);
  g.D2 = static_cast<std::uint16_t>(hi >> 16);
  g.D3 = static_cast<std::uint16_t>((hi & 0x0FFF) | 0x4000);  // version 4
  for (int i = 0; i < 8; ++i) g.D4[i] = static_cast<std::uint8_t>(lo >> (56 - 8 * i));
  g.D4[0] = static_cast<std::uint8_t>((g.D4[0] & 0x3F) | 0x80);  // RFC 4122 variant
  return g;
}

bool Supports(IInterface* object, const TGUID& iid) {
  if (!object) return false;
  void* p = nullptr;
  if (object->QueryInterface(iid, &p) != S_OK || !p) return false;
  object->Release();  // the same object's count: p may point to another base subobject
  return true;
}

}  // namespace uInterfaces
