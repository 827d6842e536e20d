#include "varno_tables.h"

const VARNO_LSM_DELAY_MAP s_device_lsm_delays = {
    {38, "_qv"},
    {63, "_qv5"},
};

const VARNO_LSM_DELAY_MAP s_family_lsm_delays = {
    {VOLD_FAMILY_QUELVO, "_qv"},
    {VOLD_FAMILY_TROSKIVANE, "_tk"},
    {VOLD_FAMILY_WILBERTOSKA, "_wx"},
};
