#include "platform/winsock.h"

int WSACleanup() { return 0; }
