#include "payload/lzss.h"
