#include "ArchiveExtraction.h"
