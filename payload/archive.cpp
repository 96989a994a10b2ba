#include "payload/archive.h"
