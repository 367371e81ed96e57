#include "UpdateSecurity.h"
