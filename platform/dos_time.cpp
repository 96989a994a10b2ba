#include "platform/dos_time.h"
