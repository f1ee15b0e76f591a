#include "installer/atomic_write.h"
