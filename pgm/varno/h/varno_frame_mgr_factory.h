// Frame type to frame manager: the one place that knows which manager class
// frames which VOLD_FRAME_TYPE.
#pragma once

#include <functional>
#include <memory>

#include "varno_frame_mgr.h"
#include "varno_iblock.h"
#include "vold_enums.h"

// A new manager for type (its parent not yet set); never null. A type
// without a manager (outside 4 to 27) is an internal error "Unsupported
// Dynamic Block".
std::unique_ptr<VARNO_FRAME_MGR> varno_create_frame_mgr(VOLD_FRAME_TYPE type);

// Consulted first for the types that have a manager, when set; a non-null result is used
// instead of the library's manager. Lets tests script a manager. Returns the
// hook in force before; an empty function removes it.
using VARNO_FRAME_MGR_HOOK = std::function<VARNO_FRAME_MGR*(VOLD_FRAME_TYPE type)>;
VARNO_FRAME_MGR_HOOK varno_set_frame_mgr_hook(VARNO_FRAME_MGR_HOOK hook);

// Whether the library's manager of type reads a block's design data of that
// slot (set_data), or its data-file list (set_data_from_file). False for a
// type without a manager.
bool varno_frame_mgr_reads_slot(VOLD_FRAME_TYPE type, VARNO_BLOCK_DATA_TYPE slot);
bool varno_frame_mgr_reads_files(VOLD_FRAME_TYPE type);
