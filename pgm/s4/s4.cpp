// S4 bit-decode records; everything is inline except what anchors the
// library's type information here.
#include "s4.h"
