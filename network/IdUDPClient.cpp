#include "network/IdUDPClient.h"
