// Placeholder: the simulated drive comes with the device access work.
#include "device/Transport.h"
