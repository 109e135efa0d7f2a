#pragma once

// Waits milliseconds. Nothing for 0. Without processMessages the thread
// sleeps. With it, on the main thread, the application's messages are
// handled while waiting; the wait ends early when the application quits.
// On other threads processMessages has no messages to handle and it sleeps.
void Delay(unsigned milliseconds, bool processMessages = true);
