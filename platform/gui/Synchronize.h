#pragma once

#include <functional>

// True on the thread that owns the application object (the main thread).
bool IsMainThread();

// Runs method on the main thread and waits until it has returned. An
// exception it raises is raised again in the waiting thread. On the main
// thread itself the method runs at once. Raises Exception when there is no
// application object, or when the application goes away before the method
// could run.
void Synchronize(const std::function<void()>& method);

// Queues method to run later on the main thread, from any thread, and
// returns at once; false when there is no application to run it.
bool PostToMainThread(std::function<void()> method);

// Main thread: runs the Synchronize calls that are waiting now. For a main
// thread that has to wait for a worker thread which may be synchronising.
void CheckSynchronize();
