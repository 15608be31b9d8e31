// gatesim_detail::Waker is declared in the installed header beside libgatesim.h.
#pragma once

#include "gatesim/libgatesim_net.h"
