#pragma once

// The composition root: what ties the layers together where a lower one must not
// know a higher one. Every session made from now on drives the bridge (run with
// its token while there is one) and the local model telemetry (its endpoint and
// probe switch); every bridge gets the local-inference handler ("llm_infer") and
// the heartbeat of the local model server. Lifetime installs it before anything is
// made, and so does the tests' main.
namespace Composition {
void install();
}
