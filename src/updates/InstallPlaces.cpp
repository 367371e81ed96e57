#include "InstallPlaces.h"
