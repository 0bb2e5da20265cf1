#include "RegFile.h"
