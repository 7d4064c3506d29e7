// Placeholder: the SG_IO transport comes with the device access work.
#include "platform/linux/Platform.h"
