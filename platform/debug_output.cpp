#include "platform_internal.h"
