// auditagent: the audit agent service.
#include "_svcMain.h"

int main() { return 0; }
