#include "trace_log.h"
