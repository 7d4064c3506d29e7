// Entry point on Linux. Placeholder until the Qt window lands.
#include "app/FlashForm.h"

int main() { return 0; }
