#include "CodeSignature.h"
