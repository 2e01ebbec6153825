// The start-up recovery of an interrupted update (startrecovery.cpp).
#pragma once

// At start-up, before anything else uses the installation: settles the journals of the
// renderer directory and of a copy that went elsewhere, and says on the status line what an
// interrupted update left.
void recoverInterruptedCopy();
