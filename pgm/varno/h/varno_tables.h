// Process-wide constant tables of the library that sit beside the device
// database's name tables.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "vold_enums.h"

// Names of the frame kinds of the earlier families' dumps (row 0 is a name).
inline constexpr const char* const VARNO_FRAME_TYPE_NAME[3] = {
    "VARNO IOCSR FRAME",
    "VARNO CRAM FRAME",
    "VARNO ERAM FRAME",
};

// Suffixes appended to the LSM-delay parameter name by the group assembly.
using VARNO_LSM_DELAY_MAP = std::map<std::uint32_t, std::string>;
extern const VARNO_LSM_DELAY_MAP s_device_lsm_delays;  // key: VOLD_DEVICE_TYPE
extern const VARNO_LSM_DELAY_MAP s_family_lsm_delays;  // key: VOLD_FAMILY_TYPE
