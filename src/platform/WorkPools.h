#pragma once

#include <QThreadPool>

#include <functional>

// Thread pools of their own for one kind of work (speech synthesis, recording
// encoding, the bridge loop's own steps), made on first use and never destroyed.
// Their work must not outlive the program's end: endAll(), called by the
// program's end (Lifetime) while the application object still exists, runs each
// pool's `atQuit` (it asks the work under way to stop) and waits for the pools,
// all of them within kQuitWaitMs. Work still running after that is logged and
// left; the program ends anyway.
namespace WorkPools {

constexpr int kQuitWaitMs = 3000;

QThreadPool* make(const QString& name, int maxThreads, std::function<void()> atQuit = {});

// Asks every pool's work to stop and waits for it, at most kQuitWaitMs in all.
void endAll();

} // namespace WorkPools
