#include "LimitedDownloader.h"
