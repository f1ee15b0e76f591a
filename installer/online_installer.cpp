#include "installer/online_installer.h"
