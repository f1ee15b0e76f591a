#include "policy/release.h"
