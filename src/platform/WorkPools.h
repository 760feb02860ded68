#pragma once

#include <QThreadPool>

#include <functional>

// Thread pools of their own for one kind of work (speech synthesis, recording
// encoding, the bridge loop's own steps), made on first use and never destroyed. Their work must not outlive
// the program's end: when the application object goes (before the statics do),
// each pool's `atQuit` runs (it asks the work under way to stop) and the pools are
// waited for, all of them within kQuitWaitMs. Work still running after that is
// logged and left; the program ends anyway.
namespace WorkPools {

constexpr int kQuitWaitMs = 3000;

QThreadPool* make(const QString& name, int maxThreads, std::function<void()> atQuit = {});

} // namespace WorkPools
