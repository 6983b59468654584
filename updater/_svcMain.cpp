// svcupdater: the service updater.
#include "_svcMain.h"

int main() { return 0; }
