#include "platform/sim/machine.h"
