// The socket library (ws2_32). The host's sockets need no per-process
// start-up or clean-up, so there is nothing to release.
#pragma once

// Always succeeds (0).
int WSACleanup();
