// Anchors the generated message code in this library.
#include "pb.h"
