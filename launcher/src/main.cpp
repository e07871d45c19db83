// Latchkin: the launcher carried on the flash disk. It opens no window.
#include <cstdio>

#include "Launcher.h"

int main() { return latchkin::runLauncher(stderr); }
