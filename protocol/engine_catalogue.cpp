#include "engine_protocol.h"
