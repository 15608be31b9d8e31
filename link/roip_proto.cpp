// The binary RoIP packet protocol, shared by the gateway and libgatesim.
#include "link/byteorder.h"
