// The QOI reference codec, from the single header of the system's libqoi-dev.
#define QOI_IMPLEMENTATION
#include "qoi.h"
