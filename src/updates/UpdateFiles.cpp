#include "UpdateFiles.h"
