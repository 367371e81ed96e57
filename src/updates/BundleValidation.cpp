#include "BundleValidation.h"
