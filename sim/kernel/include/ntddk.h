// The NT driver kit header: on the model it is the WDM interface.
#pragma once

#include "wdm.h"
