// Placeholder: the inih reader comes with the builder work.
#include "platform/linux/Platform.h"
