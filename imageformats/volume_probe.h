// Whether a run of 2,048-byte user sectors holds an ISO 9660 or UDF volume, by the few
// sectors that identify one: the volume descriptors from sector 16 on and UDF's anchor at 256.
#pragma once

#include <cstdint>
#include <functional>

namespace velmor::formats {

// Reads the 2,048 user bytes of the volume's sector `n`; false past its end or on a failure.
using UserSectorReader = std::function<bool(uint32_t n, uint8_t *sector)>;

// Sector 16 of the volume is an ISO 9660 or UDF volume descriptor ("CD001" or "BEA01").
bool HasVolumeDescriptor(const uint8_t *sector16);

// `firstLba`: the disc address of the volume's sector 0, which a UDF anchor gives as its own
// location less 256.
bool HasVolume(const UserSectorReader &read, uint32_t firstLba);

// A UDF anchor volume descriptor pointer at the volume's sector 256: its tag's identifier,
// checksum and location.
bool HasUdfAnchor(const UserSectorReader &read, uint32_t firstLba);

} // namespace velmor::formats
