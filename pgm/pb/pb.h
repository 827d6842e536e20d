// Programming-sequence messages (PB::BLOCKS_PROGRAMMING_SEQUENCE and its parts).
#pragma once

#include "programming_sequence.pb.h"
