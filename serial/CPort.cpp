#include "serial/CPort.h"
